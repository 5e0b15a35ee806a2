// Binary classifiers: loading from the parameter table and scoring. Raw
// scores are worked out by hand from the weights written below.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDdata_model.h"

namespace {

const char kLinearFrame[] =
    "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";

// A model directory: zanda.parm and vector files are written, then
// classifiers are loaded as the multi-category loader does.
class ClassifierTest : public ::testing::Test {
 protected:
  std::string dir = zdtest::MakeTempDir();
  AnyParmListTable table;
  ModelParmCont cont;
  VecData supvecs;
  std::vector<std::unique_ptr<ClassifierModel>> fiers;

  void write(const std::string& name, const std::string& text) {
    zdtest::WriteFile(dir + name, text);
  }
  void load_model(const std::string& parm) {
    write("zanda.parm", parm);
    table.base_dir.init(dir.c_str());
    table.load_parameter_table((dir + "zanda.parm").c_str());
    cont.init_parameters(table);
  }
  // Loads the named classifier (the next one when null), ready for scoring.
  ClassifierModel& load(const char* name) {
    fiers.push_back(std::make_unique<ClassifierModel>());
    ClassifierModel& c = *fiers.back();
    EXPECT_TRUE(c.load_parms(table, name, cont.kernels));
    if (c.parms.get_nker() != 0) c.restrict_support_vectors(supvecs);
    return c;
  }
  // One sample vector per data field, normalised by its field.
  Mvec<TableIdx> sample(const std::vector<std::vector<int>>& fields) {
    Mvec<TableIdx> s(static_cast<int>(fields.size()));
    for (int f = 0; f < s.size(); f++) {
      for (int index : fields[f]) s[f].append(ElemIdx{index});
      cont.field_parms[f].normalize_samp(s[f]);
    }
    return s;
  }
};

// Without bias a trivial classifier scores -85 (with or without the output
// factors); an empty "vecfile" entry reads no file and leaves the factors.
TEST_F(ClassifierTest, ConstantClassifiers) {
  load_model(std::string(kLinearFrame) +
             "classifier t0 { trivial = true vecfile = { missing.txt } }\n"
             "classifier t1 { trivial = true bias = 0.3 }\n"
             "classifier e { kernels = { k0 } vecfile = { \"\" } weights = { 2 } bias = 0.5 }\n");
  Mvec<TableIdx> x = sample({{1, 2}});
  ClassifierModel& nobias = load("t0");
  EXPECT_EQ(nobias.test_samp(x, false), -85.0);
  EXPECT_EQ(nobias.test_samp(x, true), -85.0);
  ClassifierModel& biased = load("t1");
  EXPECT_EQ(biased.test_samp(x, false), 0.0);
  EXPECT_EQ(biased.test_samp(x, true), 0.3);
  double acc = 5.0;  // overwritten, not added to
  EXPECT_TRUE(biased.test_samp_lin(x, acc, true));
  EXPECT_EQ(acc, 0.3);
  ClassifierModel& novec = load("e");
  EXPECT_TRUE(novec.vecsets.empty());
  EXPECT_FALSE(novec.test_samp_lin(x, acc, true));  // no weights: the support-vector path
  EXPECT_EQ(novec.test_samp(x, false), 0.0);
  EXPECT_EQ(novec.test_samp(x, true), 0.5);
}

TEST_F(ClassifierTest, LinearScoresAreWeightedDotProducts) {
  write("v.txt", "vector w { type = weight field = 0 1 = 0.5 3 = -1.25 7 = 2.0 }\n");
  write("sets.txt",
        "vector a { type = weight field = 0 1 = 0.5 3 = 1 010 = 1.5 }\n"
        "vector b { type = weight field = 0 3 = 2 5 = -1 0x8 = 2 }\n");
  // Element k of a stump set, in file order, weighs feature k; its keys are ignored.
  write("stump.txt",
        "vector a { type = weight field = 0 1 = 10 }\n"
        "vector s { type = stump field = 0 9 = 0.125 4 = 0.25 2 = 0.5 }\n");
  load_model(std::string(kLinearFrame) +
             "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 2 } bias = 0.25 }\n"
             "classifier sets { kernels = { k0 } vecfile = { sets.txt } weights = { 1 } }\n"
             "classifier stump { kernels = { k0 } vecfile = { stump.txt } weights = { 1 } }\n");
  ClassifierModel& c = load("c");
  Mvec<TableIdx> x = sample({{1, 7, 9}});
  EXPECT_DOUBLE_EQ(c.test_samp(x, false), 0.5 + 2.0);
  EXPECT_DOUBLE_EQ(c.test_samp(x, true), (0.5 + 2.0) * 2 + 0.25);
  double acc = 1.0;  // the linear path adds to the accumulator
  EXPECT_TRUE(c.test_samp_lin(x, acc, false));
  EXPECT_DOUBLE_EQ(acc, 1.0 + 2.5);
  EXPECT_DOUBLE_EQ(c.test_samp(sample({{2}}), true), 0.25);

  // Sets of one field add up; keys 010 and 0x8 both denote index 8.
  ClassifierModel& sets = load("sets");
  EXPECT_DOUBLE_EQ(sets.test_samp(sample({{1, 3, 5}}), false), 0.5 + 3 - 1);
  EXPECT_DOUBLE_EQ(sets.test_samp(sample({{8}}), false), 3.5);
  ClassifierModel& stump = load("stump");
  EXPECT_DOUBLE_EQ(stump.test_samp(sample({{1, 2}}), false), 0.25 + 0.5);
  EXPECT_DOUBLE_EQ(stump.test_samp(sample({{0, 5}}), false), 0.125);  // 5 is past the stump
}

TEST_F(ClassifierTest, TwoFieldsWithKernelNorm) {
  write("v.txt",
        "vector a { type = weight field = 0 1 = 0.5 7 = 2.0 }\n"
        "vector b { type = weight field = 1 2 = 4.0 }\n");
  load_model(
      "field f0 { norm = true } field f1 { }\n"
      "kernel k0 { type = linear norm = true fields = { f0, f1 } weights = { 0.5, 0.25 } }\n"
      "classifier c { kernels = { k0 } vecfile = { v.txt } weights = { 3 } bias = -1 }\n");
  ClassifierModel& c = load("c");
  // Field products 2.5 and 4.0 with multipliers 1/sqrt(2) and 1, field weights
  // 0.5 and 0.25; squared norms 1 (normalised field) and 3.
  double raw = (0.5 * 2.5 / std::sqrt(2.0) + 0.25 * 4.0) / std::sqrt(0.5 * 1 + 0.25 * 3);
  EXPECT_NEAR(c.test_samp(sample({{1, 7}, {2, 3, 5}}), true), raw * 3 - 1, 1e-6);
  // An empty sample stays finite under the kernel norm.
  EXPECT_EQ(c.test_samp(sample({{}, {}}), false), 0.0);
  EXPECT_EQ(c.test_samp(sample({{}, {}}), true), -1.0);
}

TEST_F(ClassifierTest, UnnamedLoadsTakeClassifierBlocksInTableOrder) {
  load_model(std::string(kLinearFrame) +
             "classifier first { trivial = true bias = 1 }\n"
             "classifier second { trivial = true bias = 2 }\n");
  EXPECT_STREQ(load(nullptr).name(), "first");
  EXPECT_STREQ(load(nullptr).name(), "second");
  ClassifierModel none;
  EXPECT_FALSE(none.load_parms(table, nullptr, cont.kernels));
  EXPECT_FALSE(none.load_parms(table, "first", cont.kernels));  // taken already
}

TEST_F(ClassifierTest, BadBlocksEndTheProcess) {
  write("v.txt", "vector a { type = weight field = 0 binsize = 1 }\n");
  write("negative.txt", "vector a { type = weight field = -1 1 = 1 }\n");
  load_model(std::string(kLinearFrame) +
             "classifier two { kernels = { k0, k0 } vecfile = { v.txt } weights = { 1, 1 } }\n"
             "classifier nok { vecfile = { v.txt } weights = { 1 } }\n"
             "classifier nov { kernels = { k0 } weights = { 1 } }\n"
             "classifier nobin { kernels = { k0 } vecfile = { v.txt } weights = { 1 } "
             "binfile = nobin.bin }\n"
             "classifier negative { kernels = { k0 } vecfile = { negative.txt } weights = { 1 } "
             "}\n");
  const std::string label = "ClassifierModel::load_parms";
  const std::pair<const char*, std::string> cases[] = {
      {"two", zdtest::UserError(label, "Classifier two has 2 kernels: not supported yet\n")},
      {"nok",
       zdtest::UserError(label, "Classifier nok has one kernel weight but no kernels entry\n")},
      {"nov",
       zdtest::UserError(label, "Classifier nov has one kernel weight but no vecfile entry\n")},
      {"nobin",
       zdtest::UserError("ZDIO::force_open", "Cannot open " + dir + "nobin.bin for [r]\n")},
      {"negative", zdtest::UserError("ClassifierModel::compute_weights",
                                     "Classifier negative: vector a has negative field -1\n")},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          ZDEvent::tracefile = nullptr;
          load(c.first);
        },
        testing::ExitedWithCode(1), zdtest::Exact(c.second));
  }
}

}  // namespace
