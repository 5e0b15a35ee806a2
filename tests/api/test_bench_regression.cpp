// Output guard for the speed work on the decoding path: small versions of the
// benchmark workloads (bench/gen.py, fixed seeds) are decoded and compared byte
// for byte with outputs recorded before the decoder was optimised. The linear
// model is also decoded from its binary vector files, which hold the same
// float weights and so must give the same bytes.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "../test_support.h"

namespace {

const std::string kData = TEST_DATA_DIR;

// Generates workload `size` with `opts` into `dir` and checks the decoder's
// output on each model folder in `models` against the recorded `expected`.
void ExpectRecordedOutput(const std::string& size, const std::string& opts,
                          std::initializer_list<const char*> models, const std::string& expected) {
  zdtest::TempDir dir;
  const std::string cmd = "python3 '" + kData + "/../../bench/gen.py' " + size + " '" + dir("w") +
                          "' " + opts + " > /dev/null";
  ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  const std::string recorded = zdtest::ReadFile(kData + "/bench/" + expected);
  ASSERT_FALSE(recorded.empty());
  for (const char* model : models) {
    zdtest::Outcome r = zdtest::Run(
        {DECODER_PATH, "-m", dir("w/") + model, "-d", dir("w/dict.txt"), "-n", "5"},
        dir("w/input.txt"));
    EXPECT_EQ(r.status, 0) << model;
    EXPECT_EQ(r.out, recorded) << model;
  }
}

TEST(BenchRegression, LinearWorkloadKeepsItsRecordedOutput) {
  ExpectRecordedOutput("S", "--lines 400 --entries 20000", {"model", "model-bin"}, "small-s.out");
}

TEST(BenchRegression, KernelWorkloadKeepsItsRecordedOutput) {
  ExpectRecordedOutput("K", "--lines 200 --entries 20000 --svs 2000", {"model"}, "small-k.out");
}

}  // namespace
