// The model facade: ranking by the heapsort and the three sample forms.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "../test_support.h"
#include "Zanda_api.h"

namespace {

std::vector<int> Ranked(const std::vector<double>& values) {
  Mvec<double> v(static_cast<int>(values.size()));
  Mvec<int> idx(v.size());
  for (int k = 0; k < v.size(); k++) {
    v[k] = values[k];
    idx[k] = k;
  }
  sort_double_down(v, idx);
  for (int k = 0; k < v.size(); k++) EXPECT_EQ(v[k], values[idx[k]]);
  return std::vector<int>(idx.begin(), idx.end());
}

TEST(SortDoubleDownTest, HeapsortOrderOfTies) {
  for (int n = 2; n <= 12; n++) {  // all ties: 1 .. n-1, then 0
    std::vector<int> expected;
    for (int k = 1; k < n; k++) expected.push_back(k);
    expected.push_back(0);
    EXPECT_EQ(Ranked(std::vector<double>(n, 0.25)), expected) << n;
  }
  // Worked through the heap by hand: the two 0.9 come out as 3 before 1.
  EXPECT_EQ(Ranked({0.3, 0.9, 0.1, 0.9, 0.5}), (std::vector<int>{3, 1, 4, 0, 2}));
  EXPECT_EQ(Ranked({1, 2, 3, 4, 5, 6}), (std::vector<int>{5, 4, 3, 2, 1, 0}));
  EXPECT_EQ(Ranked({}), (std::vector<int>{}));
  std::vector<double> many;
  for (int k = 0; k < 200; k++) many.push_back(std::sin(k * 7.0));
  std::vector<int> order = Ranked(many);
  for (int k = 1; k < 200; k++) EXPECT_GE(many[order[k - 1]], many[order[k]]);
}

double Sig(double x) {
  return 1 / (std::exp(-x) + 1);
}

// Classes alpha, beta, gamma, delta: linear with output factor 2 (alpha 1 on
// feature 3; beta 0.25 on features 3 and 8, bias -0.5; gamma -1 on feature 8,
// bias 1) and trivial delta (bias 0.5).
TEST(FacadeTest, ScoresIndexTextAndStreamSamples) {
  std::string dir = zdtest::MakeTempDir();
  zdtest::WriteFile(
      dir + "zanda.parm",
      "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"
      "classifier a { kernels = { k0 } vecfile = { a.txt } weights = { 2 } bias = 0 }\n"
      "classifier b { kernels = { k0 } vecfile = { b.txt } weights = { 2 } bias = -0.5 }\n"
      "classifier c { kernels = { k0 } vecfile = { c.txt } weights = { 2 } bias = 1 }\n"
      "classifier d { trivial = true bias = 0.5 }\n"
      "supervisor s0 { p = alpha clf = a }\nsupervisor s1 { p = beta clf = b }\n"
      "supervisor s2 { p = gamma clf = c }\nsupervisor s3 { p = delta clf = d }\n");
  zdtest::WriteFile(dir + "a.txt", "vector w { 3 = 1 }\n");
  zdtest::WriteFile(dir + "b.txt", "vector w { 3 = 0.25 8 = 0.25 }\n");
  zdtest::WriteFile(dir + "c.txt", "vector w { 8 = -1 }\n");
  ZandaModelAPI api;
  zdtest::Captured(ZDEvent::tracefile, [&] { api.load_mdl_parms(dir.c_str()); });
  ASSERT_EQ(api.get_nfiers(), 4);
  EXPECT_STREQ(api.classifier_name(1), "beta");

  double outs[4];
  int ranks[4];
  int idx[] = {8, 3, 8, 3, 3};  // any order, with repeats: the set {3, 8}
  EXPECT_TRUE(api.test_samp(idx, 5, outs, nullptr));
  EXPECT_EQ(idx[0], 3);  // reordered in place
  EXPECT_EQ(idx[1], 8);
  const double raw[] = {2, 2 * 0.5 - 0.5, -2 + 1, 0.5};
  for (int i = 0; i < 4; i++) EXPECT_EQ(outs[i], Sig(raw[i])) << i;
  EXPECT_TRUE(api.test_samp(idx, 2, outs, ranks));
  const int order[] = {0, 1, 3, 2};  // alpha 2, beta 0.5 (before delta 0.5), gamma -1
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(ranks[i], order[i]) << i;
    EXPECT_EQ(outs[i], Sig(raw[order[i]])) << i;
  }
  EXPECT_TRUE(api.test_samp(nullptr, 0, outs, ranks));  // the constant parts
  const int empty_order[] = {2, 3, 0, 1};
  const double empty_raw[] = {1, 0.5, 0, -0.5};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(ranks[i], empty_order[i]);
    EXPECT_EQ(outs[i], Sig(empty_raw[i]));
  }

  EXPECT_TRUE(api.test_samp("8 3 3\n", outs, ranks));
  EXPECT_EQ(ranks[0], 0);
  EXPECT_EQ(outs[3], Sig(-1));
  EXPECT_FALSE(api.test_samp("", outs, ranks));
  FILE* fp = tmpfile();
  fputs("3\n8\n", fp);
  rewind(fp);
  EXPECT_TRUE(api.test_samp(fp, outs, nullptr));
  EXPECT_EQ(outs[1], Sig(0));
  EXPECT_TRUE(api.test_samp(fp, outs, nullptr));  // the stream stays open
  EXPECT_EQ(outs[2], Sig(-1));
  EXPECT_FALSE(api.test_samp(fp, outs, ranks));
  fclose(fp);

  int negative[] = {2, -3};
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        api.test_samp(negative, 2, outs, nullptr);
      },
      testing::ExitedWithCode(1),
      zdtest::Exact(zdtest::DataError("TableValIdx::sort_feat", "Negative index -3")));
}

}  // namespace
