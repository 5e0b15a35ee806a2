// Output guard for the speed work on the decoding path: small versions of the
// benchmark workloads (bench/gen.py, fixed seeds) are decoded and compared byte
// for byte with outputs recorded from the decoder before it was optimised.
// The linear model is decoded both from its text and from its binary vector
// files, which hold the same float weights and so must give the same bytes.
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"

namespace {

using zdtest::ReadFile;
using zdtest::RemoveTree;

const std::string kData = TEST_DATA_DIR;
const std::string kGenerator = kData + "/../../bench/gen.py";

class BenchRegression : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string pattern = ::testing::TempDir() + "benchXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    ASSERT_NE(mkdtemp(buf.data()), nullptr);
    dir_ = buf.data();
  }
  void TearDown() override { RemoveTree(dir_); }

  // Generates workload `size` into dir_/name with the given generator options.
  void generate(const std::string& size, const std::string& name, const std::string& opts) {
    std::string cmd = "python3 '" + kGenerator + "' " + size + " '" + dir_ + "/" + name + "' " +
                      opts + " > /dev/null";
    ASSERT_EQ(system(cmd.c_str()), 0) << cmd;
  }

  // Standard output of the decoder on workload `name` with model folder `model`.
  std::string decode(const std::string& name, const std::string& model) {
    std::string w = dir_ + "/" + name + "/";
    std::string out = w + model + ".out";
    std::string cmd = std::string(DECODER_PATH) + " -m '" + w + model + "' -d '" + w +
                      "dict.txt' -n 5 < '" + w + "input.txt' > '" + out + "' 2> /dev/null";
    EXPECT_EQ(system(cmd.c_str()), 0) << cmd;
    return ReadFile(out);
  }

  std::string dir_;
};

TEST_F(BenchRegression, LinearWorkloadKeepsItsRecordedOutput) {
  generate("S", "s", "--lines 400 --entries 20000");
  std::string expected = ReadFile(kData + "/bench/small-s.out");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(decode("s", "model"), expected);
  EXPECT_EQ(decode("s", "model-bin"), expected);
}

TEST_F(BenchRegression, KernelWorkloadKeepsItsRecordedOutput) {
  generate("K", "k", "--lines 200 --entries 20000 --svs 2000");
  std::string expected = ReadFile(kData + "/bench/small-k.out");
  ASSERT_FALSE(expected.empty());
  EXPECT_EQ(decode("k", "model"), expected);
}

}  // namespace
