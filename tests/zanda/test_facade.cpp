// The model facade: ranking by the heapsort, the three scoring forms and
// loading of a model directory.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "Zanda_api.h"

// Defined in test_multi.cpp.
namespace multitest {
std::string Exact(const std::string& text);
std::string MakeTempDir();
void WriteFile(const std::string& path, const std::string& content);
}  // namespace multitest

namespace {

using multitest::Exact;
using multitest::MakeTempDir;
using multitest::WriteFile;

std::vector<int> Ranked(std::vector<double> values) {
  Mvec<double> v(static_cast<int>(values.size()));
  Mvec<int> idx(v.size());
  for (int k = 0; k < v.size(); k++) {
    v[k] = values[k];
    idx[k] = k;
  }
  sort_double_down(v, idx);
  for (int k = 1; k < v.size(); k++) EXPECT_GE(v[k - 1], v[k]);
  for (int k = 0; k < v.size(); k++) EXPECT_EQ(v[k], values[idx[k]]);
  return std::vector<int>(idx.begin(), idx.end());
}

TEST(SortDoubleDownTest, AllTiesComeOutOneToLastThenZero) {
  for (int n = 2; n <= 12; n++) {
    std::vector<int> expected;
    for (int k = 1; k < n; k++) expected.push_back(k);
    expected.push_back(0);
    EXPECT_EQ(Ranked(std::vector<double>(n, 0.25)), expected) << n;
  }
}

TEST(SortDoubleDownTest, MixedValuesKeepTheHeapsortTieOrder) {
  // Worked through the heap by hand: the two 0.9 come out as 3 before 1.
  EXPECT_EQ(Ranked({0.3, 0.9, 0.1, 0.9, 0.5}), (std::vector<int>{3, 1, 4, 0, 2}));
  EXPECT_EQ(Ranked({1, 2, 3, 4, 5, 6}), (std::vector<int>{5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(Ranked({-1}), (std::vector<int>{0}));
  EXPECT_EQ(Ranked({}), (std::vector<int>{}));
  std::vector<double> many;
  for (int k = 0; k < 200; k++) many.push_back(std::sin(k * 7.0));
  Ranked(many);
}

// Classes alpha, beta, gamma, delta: trivial delta (bias 0.5); the others
// linear with output factor 2: alpha 1 on feature 3, beta 0.25 on features 3
// and 8 and bias -0.5, gamma -1 on feature 8 and bias 1.
struct FacadeModel {
  std::string dir = MakeTempDir();
  ZandaModelAPI api;

  explicit FacadeModel(const std::string& load_as = "") {
    WriteFile(dir + "zanda.parm",
              "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"
              "classifier a { kernels = { k0 } vecfile = { a.txt } weights = { 2 } bias = 0 }\n"
              "classifier b { kernels = { k0 } vecfile = { b.txt } weights = { 2 } bias = -0.5 }\n"
              "classifier c { kernels = { k0 } vecfile = { c.txt } weights = { 2 } bias = 1 }\n"
              "classifier d { trivial = true bias = 0.5 }\n"
              "supervisor s0 { p = alpha clf = a }\nsupervisor s1 { p = beta clf = b }\n"
              "supervisor s2 { p = gamma clf = c }\nsupervisor s3 { p = delta clf = d }\n");
    WriteFile(dir + "a.txt", "vector w { 3 = 1 }\n");
    WriteFile(dir + "b.txt", "vector w { 3 = 0.25 8 = 0.25 }\n");
    WriteFile(dir + "c.txt", "vector w { 8 = -1 }\n");
    FILE* saved = ZDEvent::tracefile;
    api.load_mdl_parms((load_as.empty() ? dir : dir + load_as).c_str());
    ZDEvent::tracefile = saved;
  }
};

double Sig(double x) {
  return 1 / (std::exp(-x) + 1);
}

TEST(FacadeTest, LoadsNamesAndCounts) {
  FacadeModel m;
  ASSERT_EQ(m.api.get_nfiers(), 4);
  const char* names[] = {"alpha", "beta", "gamma", "delta"};
  for (int i = 0; i < 4; i++) EXPECT_STREQ(m.api.classifier_name(i), names[i]);
}

TEST(FacadeTest, DirectoryWithDoubledSlash) {
  FacadeModel m("/");  // the directory name already ends in '/'
  EXPECT_EQ(m.api.get_nfiers(), 4);
}

TEST(FacadeTest, IndexSampleInClassifierOrderAndRanked) {
  FacadeModel m;
  double outs[4];
  int ranks[4];
  int idx[] = {8, 3, 8, 3, 3};  // any order, with repeats: the set {3, 8}
  EXPECT_TRUE(m.api.test_samp(idx, 5, outs, nullptr));
  EXPECT_EQ(idx[0], 3);  // reordered in place
  EXPECT_EQ(idx[1], 8);
  const double raw[] = {2, 2 * 0.5 - 0.5, -2 + 1, 0.5};
  for (int i = 0; i < 4; i++) EXPECT_EQ(outs[i], Sig(raw[i])) << i;

  int again[] = {3, 8};
  EXPECT_TRUE(m.api.test_samp(again, 2, outs, ranks));
  const int order[] = {0, 1, 3, 2};  // alpha 2, beta 0.5 (before delta 0.5), gamma -1
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(ranks[i], order[i]) << i;
    EXPECT_EQ(outs[i], Sig(raw[order[i]])) << i;
  }
}

TEST(FacadeTest, EmptySampleScoresTheConstantParts) {
  FacadeModel m;
  double outs[4];
  int ranks[4];
  EXPECT_TRUE(m.api.test_samp(nullptr, 0, outs, ranks));
  const int order[] = {2, 3, 0, 1};  // gamma 1, delta 0.5, alpha 0, beta -0.5
  const double raw[] = {1, 0.5, 0, -0.5};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(ranks[i], order[i]);
    EXPECT_EQ(outs[i], Sig(raw[i]));
  }
}

TEST(FacadeTest, TextAndStreamSamples) {
  FacadeModel m;
  double outs[4];
  int ranks[4];
  EXPECT_TRUE(m.api.test_samp("8 3 3\n", outs, ranks));
  EXPECT_EQ(ranks[0], 0);
  EXPECT_EQ(outs[0], Sig(2));
  EXPECT_EQ(outs[3], Sig(-1));

  FILE* fp = tmpfile();
  fputs("3\n8\n", fp);
  rewind(fp);
  EXPECT_TRUE(m.api.test_samp(fp, outs, nullptr));
  EXPECT_EQ(outs[0], Sig(2));
  EXPECT_EQ(outs[1], Sig(0));
  EXPECT_TRUE(m.api.test_samp(fp, outs, nullptr));  // the stream stays open
  EXPECT_EQ(outs[2], Sig(-1));
  EXPECT_FALSE(m.api.test_samp(fp, outs, ranks));
  fclose(fp);
  EXPECT_FALSE(m.api.test_samp("", outs, ranks));
}

TEST(FacadeDeathTest, MissingDirectoryAndNegativeIndex) {
  std::string dir = MakeTempDir() + "none";
  EXPECT_EXIT(
      {
        ZandaModelAPI api;
        api.load_mdl_parms(dir.c_str());
      },
      testing::ExitedWithCode(1),
      Exact("ZDIO::force_open: Cannot open " + dir + "/zanda.parm for [r]\nCannot open " + dir +
            "/zanda.parm for [r]\n\nPlease verify first your input model and your data\n"));

  FacadeModel m;
  double outs[4];
  int idx[] = {2, -3};
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        m.api.test_samp(idx, 2, outs, nullptr);
      },
      testing::ExitedWithCode(1),
      Exact("TableValIdx::sort_feat: Negative index -3\nData Error: Please check your data!\n"));
}

}  // namespace
