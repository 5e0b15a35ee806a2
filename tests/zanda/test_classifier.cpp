#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <csignal>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "ZDdata_api.h"
#include "ZDdata_kernel.h"
#include "ZDdata_model.h"
#include "ZDdata_parms.h"

namespace {

// One field and one linear kernel over it, the frame of most models below.
const char kLinearFrame[] =
    "field f0 { }\n"
    "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";

// A model directory in a fresh temporary folder: files are written, then
// zanda.parm is loaded into a parameter table and a model container, and
// classifiers are loaded from it as the multi-category loader does.
class ClassifierModelTest : public ::testing::Test {
 protected:
  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "classifierXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir_ = tmpl;
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir_ + "/" + name) << text;
  }

  // Binary vector file: 8-byte little-endian records (index, float value).
  void write_records(const std::string& name, const std::vector<std::pair<int32_t, float>>& recs) {
    std::string bytes;
    for (const auto& [index, value] : recs) {
      uint32_t words[2];
      memcpy(&words[0], &index, 4);
      memcpy(&words[1], &value, 4);
      for (uint32_t w : words)
        for (int b = 0; b < 4; b++) bytes.push_back(static_cast<char>((w >> (8 * b)) & 0xff));
    }
    std::ofstream(dir_ + "/" + name, std::ios::binary) << bytes;
  }

  // Writes and loads zanda.parm; reads the shared support vectors when asked.
  void load_model(const std::string& parm, bool with_supvecs = false) {
    write("zanda.parm", parm);
    table_.base_dir.init((dir_ + "/").c_str());
    table_.load_parameter_table((dir_ + "/zanda.parm").c_str());
    cont_.init_parameters(table_);
    if (with_supvecs) {
      supvecs_.copy_field_parms(cont_.field_parms);
      supvecs_.load_supvec_data(table_);
    }
  }

  // Loads the named classifier (the next one when null) and prepares it for
  // scoring when it has a kernel.
  ClassifierModel& load(const char* name) {
    fiers_.push_back(std::make_unique<ClassifierModel>());
    ClassifierModel& c = *fiers_.back();
    EXPECT_TRUE(c.load_parms(table_, name, cont_.kernels));
    if (c.parms.get_nker() != 0) c.restrict_support_vectors(supvecs_);
    return c;
  }

  // One sample vector per data field, normalised by its field.
  Mvec<TableIdx> sample(const std::vector<std::vector<int>>& fields) {
    Mvec<TableIdx> s;
    s.set_nitems(static_cast<int>(fields.size()));
    for (int f = 0; f < s.size(); f++) {
      for (int index : fields[f]) s[f].append(ElemIdx{index});
      cont_.field_parms[f].normalize_samp(s[f]);
    }
    return s;
  }

  std::string dir_;
  AnyParmListTable table_;
  ModelParmCont cont_;
  VecData supvecs_;
  std::vector<std::unique_ptr<ClassifierModel>> fiers_;
};

TEST_F(ClassifierModelTest, TrivialClassifierHasConstantOutput) {
  load_model(std::string(kLinearFrame) +
             "classifier t0 { trivial = true vecfile = { missing.txt } }\n"
             "classifier t1 { trivial = true bias = 0.3 }\n");
  ClassifierModel& nobias = load("t0");  // reads no file: missing.txt is never opened
  EXPECT_EQ(nobias.kernel, nullptr);
  EXPECT_EQ(nobias.parms.get_nker(), 0);
  EXPECT_TRUE(nobias.vecsets.empty());
  Mvec<TableIdx> x = sample({{1, 2}});
  EXPECT_EQ(nobias.test_samp(x, false), -85.0);
  EXPECT_EQ(nobias.test_samp(x, true), -85.0);

  ClassifierModel& biased = load("t1");
  EXPECT_EQ(biased.test_samp(x, false), 0.0);
  EXPECT_EQ(biased.test_samp(x, true), 0.3);
  double acc = 5.0;  // overwritten, not added to
  EXPECT_TRUE(biased.test_samp_lin(x, acc, true));
  EXPECT_EQ(acc, 0.3);
}

TEST_F(ClassifierModelTest, UninitialisedClassifierScoresOnlyItsOutputFactors) {
  load_model(std::string(kLinearFrame) +
             "kernel k1 { type = linear fields = { f0 } weights = { 1 } }\n"
             "classifier n0 { bias = 0.4 }\n"
             "classifier n1 { }\n"
             "classifier e { kernels = { k0 } vecfile = { \"\" } weights = { 2 } bias = 0.5 }\n");
  ClassifierModel& biased = load("n0");
  EXPECT_EQ(biased.kernel, &cont_.kernels[0]);
  ASSERT_EQ(biased.parms.get_nker(), 1);
  EXPECT_EQ(biased.parms.weights.values[0], 0.0);
  Mvec<TableIdx> x = sample({{3}});
  double acc = 0.0;
  EXPECT_FALSE(biased.test_samp_lin(x, acc, true));  // no weights: support-vector path
  EXPECT_EQ(biased.test_samp(x, false), 0.0);
  EXPECT_EQ(biased.test_samp(x, true), 0.4);
  EXPECT_EQ(load("n1").test_samp(x, true), 1e37);

  ClassifierModel& novec = load("e");  // an empty vecfile entry reads no vector file
  EXPECT_TRUE(novec.vecsets.empty());
  EXPECT_EQ(novec.test_samp(x, false), 0.0);
  EXPECT_EQ(novec.test_samp(x, true), 0.5);
}

TEST_F(ClassifierModelTest, LinearScoreIsWeightedDotProduct) {
  write("v.txt", "vector w { type = weight field = 0 1 = 0.5 3 = -1.25 7 = 2.0 }\n");
  load_model(std::string(kLinearFrame) +
             "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 2 } bias = 0.25 }\n");
  ClassifierModel& c = load("c");
  EXPECT_EQ(c.kernel, &cont_.kernels[0]);
  ASSERT_EQ(c.lin_weights.size(), 1);
  EXPECT_TRUE(c.kernel_data.empty());
  Mvec<TableIdx> x = sample({{1, 7, 9}});
  EXPECT_DOUBLE_EQ(c.test_samp(x, false), 0.5 + 2.0);
  EXPECT_DOUBLE_EQ(c.test_samp(x, true), (0.5 + 2.0) * 2 + 0.25);
  double acc = 1.0;  // the linear path adds to the accumulator
  EXPECT_TRUE(c.test_samp_lin(x, acc, false));
  EXPECT_DOUBLE_EQ(acc, 1.0 + 2.5);
  // No shared feature: only the output factors.
  EXPECT_DOUBLE_EQ(c.test_samp(sample({{2}}), true), 0.25);
}

TEST_F(ClassifierModelTest, LinearScoreWithTwoFieldsAndKernelNorm) {
  write("v.txt",
        "vector a { type = weight field = 0 1 = 0.5 7 = 2.0 }\n"
        "vector b { type = weight field = 1 2 = 4.0 }\n");
  load_model(
      "field f0 { norm = true } field f1 { }\n"
      "kernel k0 { type = linear norm = true fields = { f0, f1 } weights = { 0.5, 0.25 } }\n"
      "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 3 } bias = -1 }\n");
  ClassifierModel& c = load("c");
  Mvec<TableIdx> x = sample({{1, 7}, {2, 3, 5}});
  // Field products 2.5 and 4.0 with multipliers 1/sqrt(2) (normalised field) and 1, field
  // weights 0.5 and 0.25; squared norms 1 (normalised) and 3.
  double raw = (0.5 * 2.5 / std::sqrt(2.0) + 0.25 * 4.0) / std::sqrt(0.5 * 1 + 0.25 * 3);
  EXPECT_NEAR(c.test_samp(x, false), raw, 1e-6);
  EXPECT_NEAR(c.test_samp(x, true), raw * 3 - 1, 1e-6);
}

TEST_F(ClassifierModelTest, KernelNormOnEmptySampleStaysFinite) {
  write("v.txt", "vector w { type = weight field = 0 1 = 0.5 }\n");
  load_model(
      "field f0 { }\n"
      "kernel k0 { type = linear norm = true fields = { f0 } weights = { 1 } }\n"
      "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 2 } bias = 0.7 }\n");
  ClassifierModel& c = load("c");
  Mvec<TableIdx> empty = sample({{}});
  double raw = c.test_samp(empty, false);
  EXPECT_TRUE(std::isfinite(raw));
  EXPECT_EQ(raw, 0.0);
  EXPECT_EQ(c.test_samp(empty, true), 0.7);
}

TEST_F(ClassifierModelTest, VectorSetsFoldIntoFieldWeights) {
  write("sum.txt",
        "vector a { type = weight field = 0 1 = 0.5 3 = 1 }\n"
        "vector b { type = weight field = 0 3 = 2 5 = -1 }\n");
  // Element k of a stump set, in file order, weighs feature k; its keys are ignored.
  write("stump.txt",
        "vector a { type = weight field = 0 1 = 10 }\n"
        "vector s { type = stump field = 0 9 = 0.125 4 = 0.25 2 = 0.5 }\n");
  write("keys.txt",
        "vector a { type = weight field = 0 010 = 1.5 }\n"
        "vector b { type = weight field = 0 0x8 = 2 }\n");
  load_model(std::string(kLinearFrame) +
             "classifier sum { kernels = { k0 } vecfile = { sum.txt } weights = { 1 } }\n"
             "classifier stump { kernels = { k0 } vecfile = { stump.txt } weights = { 1 } }\n"
             "classifier keys { kernels = { k0 } vecfile = { keys.txt } weights = { 1 } }\n");
  ClassifierModel& sum = load("sum");
  EXPECT_DOUBLE_EQ(sum.test_samp(sample({{1, 3, 5}}), false), 0.5 + 3 - 1);
  EXPECT_DOUBLE_EQ(sum.test_samp(sample({{3}}), false), 3.0);

  ClassifierModel& stump = load("stump");
  ASSERT_EQ(stump.lin_weights.size(), 1);
  EXPECT_FALSE(stump.lin_weights[0].sparse);
  EXPECT_DOUBLE_EQ(stump.test_samp(sample({{1, 2}}), false), 0.25 + 0.5);
  EXPECT_DOUBLE_EQ(stump.test_samp(sample({{0, 5}}), false), 0.125);  // 5 is past the stump

  ClassifierModel& keys = load("keys");  // keys 010 and 0x8 both denote index 8
  EXPECT_DOUBLE_EQ(keys.test_samp(sample({{8}}), false), 3.5);
  EXPECT_EQ(keys.test_samp(sample({{0, 10}}), false), 0.0);
}

TEST_F(ClassifierModelTest, BinaryRecordsReplaceTextElements) {
  write("v.txt",
        "vector a { type = weight field = 0 binsize = 2 0 = 9 1 = 9 2 = 9 }\n"
        "vector b { type = weight field = 0 binsize = 3 }\n"
        "vector c { type = weight field = 0 binsize = 0 4 = 100 }\n");
  write_records("w.bin", {{3, 0.75f}, {10, -1.5f}, {3, 0.25f}, {20, 2.0f}, {40, -0.5f}});
  load_model(std::string(kLinearFrame) +
             "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 1 } "
             "binfile = w.bin }\n");
  ClassifierModel& c = load("c");
  ASSERT_EQ(c.vecsets.size(), 3);
  EXPECT_EQ(c.vecsets[0].values.size(), 2);
  EXPECT_EQ(c.vecsets[1].values.size(), 3);
  EXPECT_EQ(c.vecsets[2].values.size(), 0);
  // Text elements 0, 1, 2 and 4 are gone; 3 is summed over both sets.
  EXPECT_DOUBLE_EQ(c.test_samp(sample({{0, 1, 2, 3, 4, 20}}), false), 1.0 + 2.0);
  EXPECT_DOUBLE_EQ(c.test_samp(sample({{10, 40}}), false), -2.0);
}

TEST_F(ClassifierModelTest, UnnamedLoadsTakeClassifierBlocksInTableOrder) {
  load_model(std::string(kLinearFrame) +
             "classifier first { trivial = true bias = 1 }\n"
             "classifier second { trivial = true bias = 2 }\n");
  EXPECT_STREQ(load(nullptr).name(), "first");
  EXPECT_STREQ(load(nullptr).name(), "second");
  ClassifierModel none;
  EXPECT_FALSE(none.load_parms(table_, nullptr, cont_.kernels));
  EXPECT_FALSE(none.load_parms(table_, "first", cont_.kernels));  // taken already
}

// Kernel "restrict" = 1: field 1 of the sample must share an index with the
// classifier's "restrict" set. A "restrict" set next to weight sets keeps
// the classifier linear.
TEST_F(ClassifierModelTest, RestrictionTestGatesTheScore) {
  write("v.txt",
        "vector w { type = weight field = 0 1 = 2.0 }\n"
        "vector r { type = restrict field = 1 9 = 1 5 = 1 }\n");
  load_model(
      "field f0 { norm = true } field f1 { }\n"
      "kernel k0 { type = linear fields = { f0 } weights = { 1 } restrict = 1 }\n"
      "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 3 } bias = 1 }\n"
      "classifier open { kernels = { k0 } vecfile = { \"\" } weights = { 1 } }\n");
  ClassifierModel& c = load("c");
  EXPECT_TRUE(c.compute_weights());
  EXPECT_EQ(c.lin_weights.size(), 1);  // the restrict set adds no weight vector
  EXPECT_TRUE(c.kernel_data.empty());

  Mvec<TableIdx> pass = sample({{1, 3}, {5}});  // field 0 normalised: multiplier 1/sqrt(2)
  EXPECT_NEAR(c.test_samp(pass, false), 2.0 / std::sqrt(2.0), 1e-6);
  EXPECT_NEAR(c.test_samp(pass, true), 2.0 / std::sqrt(2.0) * 3 + 1, 1e-6);
  Mvec<TableIdx> fail = sample({{1}, {4, 6}});
  EXPECT_EQ(c.test_samp(fail, false), -1e37);
  EXPECT_EQ(c.test_samp(fail, true), -1e37);
  // Without a restrict set the test fails for every sample.
  EXPECT_EQ(load("open").test_samp(pass, true), -1e37);
}

// Support vectors of field f0 (one line each): {1,2,3}, {2,5}, {7}.
TEST_F(ClassifierModelTest, LinearKernelSumsCoefficientTimesDotProduct) {
  write("sv.txt", "1 2 3\n2 5\n7\n");
  write("v.txt",
        "vector s0 { type = supvec field = 0 0 = 0.5 2 = -2.0 1 = 1.5 }\n"
        "vector s1 { type = supvec field = 0 1 = 1.0 }\n");
  load_model(
      "field f0 { protofile = sv.txt zlib = false }\n"
      "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"
      "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 2 } bias = 0.1 }\n",
      true);
  ClassifierModel& c = load("c");
  EXPECT_FALSE(c.compute_weights());
  EXPECT_TRUE(c.lin_weights.empty());
  ASSERT_EQ(c.kernel_data.size(), 2);
  EXPECT_EQ(c.kernel_data[0].nsamples, 3);
  EXPECT_EQ(c.kernel_data[1].nsamples, 1);

  Mvec<TableIdx> x = sample({{2, 3, 7}});
  // Dot products with support vectors 0, 2, 1 of s0: 2, 1, 1; with s1's: 1.
  double raw = 0.5 * 2 - 2.0 * 1 + 1.5 * 1 + 1.0 * 1;
  EXPECT_NEAR(c.test_samp(x, false), raw, 1e-6);
  EXPECT_NEAR(c.test_samp(x, true), raw * 2 + 0.1, 1e-6);
  // No support vector shares a feature: empty kernel lines contribute 0.
  EXPECT_NEAR(c.test_samp(sample({{9}}), true), 0.1, 1e-12);
}

// Normalised field, cubic kernel (a = b = 1): K(cos) = (cos + 1)^3 - 1.
TEST_F(ClassifierModelTest, PolyKernelOnCosines) {
  write("sv.txt", "1 2\n3\n");
  write("v.txt", "vector s { type = supvec field = 0 0 = 1.0 1 = -0.5 }\n");
  load_model(
      "field f0 { protofile = sv.txt zlib = false norm = true }\n"
      "kernel k0 { type = poly pow = 3 fields = { f0 } weights = { 1 } }\n"
      "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 1 } bias = 0 }\n",
      true);
  ClassifierModel& c = load("c");
  EXPECT_NEAR(c.test_samp(sample({{1, 2}}), false), 7.0, 1e-5);
  double k0 = std::pow(1 + 0.5, 3) - 1;
  double k1 = std::pow(1 + 1 / std::sqrt(2.0), 3) - 1;
  EXPECT_NEAR(c.test_samp(sample({{1, 3}}), true), k0 - 0.5 * k1, 1e-5);
}

using ClassifierModelDeathTest = ClassifierModelTest;

TEST_F(ClassifierModelDeathTest, KernelCountOtherThanOneIsRejected) {
  load_model(std::string(kLinearFrame) +
             "classifier two { kernels = { k0, k0 } vecfile = { v.txt } weights = { 1, 1 } }\n"
             "classifier nok { vecfile = { v.txt } weights = { 1 } }\n"
             "classifier nov { kernels = { k0 } weights = { 1 } }\n");
  const char* user_err = "\nPlease verify first your input model and your data\n";
  EXPECT_EXIT(load("two"), ::testing::ExitedWithCode(1),
              std::string("ClassifierModel::load_parms: Classifier two has 2 kernels: not "
                          "supported yet\n") +
                  user_err);
  EXPECT_EXIT(load("nok"), ::testing::ExitedWithCode(1),
              std::string("ClassifierModel::load_parms: Classifier nok has one kernel weight but "
                          "no kernels entry\n") +
                  user_err);
  EXPECT_EXIT(load("nov"), ::testing::ExitedWithCode(1),
              std::string("ClassifierModel::load_parms: Classifier nov has one kernel weight but "
                          "no vecfile entry\n") +
                  user_err);
}

TEST_F(ClassifierModelDeathTest, UndefinedKernelAborts) {
  load_model(std::string(kLinearFrame) +
             "classifier c0 { kernels = { kx } vecfile = { v.txt } weights = { 1 } }\n");
  EXPECT_EXIT(load("c0"), ::testing::KilledBySignal(SIGABRT),
              "ClassifierModel::load_parms: Classifier c0 kernel kx is not defined\n");
}

TEST_F(ClassifierModelDeathTest, MissingFilesEndTheProcess) {
  write("v.txt", "vector a { type = weight field = 0 binsize = 1 }\n");
  load_model(std::string(kLinearFrame) +
             "classifier nofile { kernels = { k0 } vecfile = { nofile.txt } weights = { 1 } }\n"
             "classifier nobin { kernels = { k0 } vecfile = { v.txt } weights = { 1 } "
             "binfile = nobin.bin }\n");
  EXPECT_EXIT(load("nofile"), ::testing::ExitedWithCode(1),
              "ZDIO::force_open: Cannot open [^\n]*/nofile\\.txt for \\[r\\]\n");
  EXPECT_EXIT(load("nobin"), ::testing::ExitedWithCode(1),
              "ZDIO::force_open: Cannot open [^\n]*/nobin\\.bin for \\[r\\]\n");
}

TEST_F(ClassifierModelDeathTest, ShortBinaryFileIsADataError) {
  write("v.txt", "vector a { type = weight field = 0 binsize = 3 }\n");
  write_records("w.bin", {{1, 1.0f}, {2, 2.0f}});
  load_model(std::string(kLinearFrame) +
             "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 1 } "
             "binfile = w.bin }\n");
  EXPECT_EXIT(load("c"), ::testing::ExitedWithCode(1),
              "VecParmList::load_bin_data: [^\n]*w\\.bin[^\n]*\n+Data Error: Please check your "
              "data!\n");
}

TEST_F(ClassifierModelDeathTest, BadVectorSetsEndTheProcess) {
  write("bogus.txt", "vector a { type = bogus field = 0 1 = 1 }\n");
  write("negative.txt", "vector a { type = weight field = -1 1 = 1 }\n");
  load_model(std::string(kLinearFrame) +
             "classifier bogus { kernels = { k0 } vecfile = { bogus.txt } weights = { 1 } }\n"
             "classifier negative { kernels = { k0 } vecfile = { negative.txt } weights = { 1 } "
             "}\n");
  EXPECT_EXIT(load("bogus"), ::testing::ExitedWithCode(1),
              "VecParmList::get_vec_type: unknown vec type \\[bogus\\]\n");
  EXPECT_EXIT(load("negative"), ::testing::ExitedWithCode(1),
              "ClassifierModel::compute_weights: Classifier negative: vector a has negative "
              "field -1\n");
}

}  // namespace
