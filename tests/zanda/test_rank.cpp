// The model facade: the heapsort order of ties, ranking only the printed best
// entries (whatever the ties, they equal those of the full ranking), and
// failed loads that throw instead of ending the process.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDutil_event.h"
#include "Zanda_api.h"

namespace {

// 30 linear classifiers (so scored through the index) whose biases and weights
// on features 0..5 come from a handful of values, so that equal scores are
// frequent; classifiers 28 and 29 are copies of 0 and 1. The biases are taken
// from `biases` (5 values).
std::string MakeModel(const zdtest::TempDir& tmp, const char* const* biases) {
  const std::string dir = tmp("");
  std::mt19937 rng(5);
  const char* values[] = {"-0.5", "0", "0.25", "0.5", "1"};
  std::string parm = "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";
  std::vector<std::string> vecs;
  for (int c = 0; c < 30; c++) {
    int from = c >= 28 ? c - 28 : c;
    std::string bias = biases[(from * 7) % 5];
    if (c < 28) {
      std::string vec = "vector w {";
      for (int f = 0; f < 6; f++) vec += " " + std::to_string(f) + " = " + values[rng() % 5];
      vecs.push_back(vec + " }\n");
    } else {
      vecs.push_back(vecs[from]);
    }
    zdtest::WriteFile(dir + "v" + std::to_string(c) + ".txt", vecs.back());
    parm += "classifier c" + std::to_string(c) + " { kernels = { k0 } vecfile = { v" +
            std::to_string(c) + ".txt } weights = { 1 } bias = " + bias + " }\n";
  }
  zdtest::WriteFile(dir + "zanda.parm", parm);
  return dir;
}

// Ranks every sample of features among 0..5 with each nbest and compares the
// printed entries with those of the full ranking; returns the number of ties
// between neighbours of the full rankings.
int CompareWithFullRanking(const char* const* biases) {
  zdtest::TempDir tmp;
  ZandaModelAPI model;
  model.load_mdl_parms(MakeModel(tmp, biases).c_str(), nullptr);
  const int n = model.get_nfiers();
  EXPECT_EQ(n, 30);
  int tied = 0;
  for (int mask = 0; mask < 64; mask++) {
    std::vector<int> feats;
    for (int f = 0; f < 6; f++)
      if (mask & (1 << f)) feats.push_back(f);
    std::vector<double> full_outs(n);
    std::vector<int> full_ranks(n);
    std::vector<int> idx = feats;
    model.test_samp(idx.data(), static_cast<int>(idx.size()), full_outs.data(), full_ranks.data());
    for (int k = 1; k < n; k++) tied += full_outs[k] == full_outs[k - 1];
    for (int nbest : {0, 1, 2, 3, 5, 16, 17, 29, 30, 40}) {
      std::vector<double> outs(n, -1.0);
      std::vector<int> ranks(n, -1);
      idx = feats;
      model.test_samp(idx.data(), static_cast<int>(idx.size()), outs.data(), ranks.data(), nbest);
      for (int k = 0; k < nbest && k < n; k++) {
        EXPECT_EQ(outs[k], full_outs[k]) << "mask " << mask << " nbest " << nbest << " k " << k;
        EXPECT_EQ(ranks[k], full_ranks[k]) << "mask " << mask << " nbest " << nbest << " k " << k;
      }
    }
  }
  return tied;
}

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

TEST(SortDoubleDown, HeapsortOrderOfTies) {
  for (int n = 2; n <= 12; n++) {  // all ties: 1 .. n-1, then 0
    std::vector<int> expected;
    for (int k = 1; k < n; k++) expected.push_back(k);
    expected.push_back(0);
    EXPECT_EQ(Ranked(std::vector<double>(n, 0.25)), expected) << n;
  }
  // Worked through the heap by hand: the two 0.9 come out as 3 before 1.
  EXPECT_EQ(Ranked({0.3, 0.9, 0.1, 0.9, 0.5}), (std::vector<int>{3, 1, 4, 0, 2}));
}

TEST(PartialRankTest, BestEntriesEqualTheFullRanking) {
  const char* biases[] = {"-0.5", "0", "0.25", "0.5", "1"};
  EXPECT_GT(CompareWithFullRanking(biases), 64);  // the model does produce ties, at the top too
}

// Raw scores beyond 85 all become 1 and those below -85 all 1e-37: the
// transform ties scores that differ, and the best entries are still those of
// the full ranking of the transformed scores.
TEST(PartialRankTest, ScoresTiedOnlyByTheTransform) {
  const char* biases[] = {"86", "100", "90.5", "-100", "0.5"};
  EXPECT_GT(CompareWithFullRanking(biases), 64);
}

// A line's indices come in any order and repeat; the facade scores their
// sorted set, however many there are (short and long lists are sorted by
// different means).
TEST(Facade, IndicesInAnyOrderWithRepeatsScoreAsTheirSet) {
  zdtest::TempDir tmp;
  const char* biases[] = {"-0.5", "0", "0.25", "0.5", "1"};
  ZandaModelAPI model;
  model.load_mdl_parms(MakeModel(tmp, biases).c_str(), nullptr);
  const int n = model.get_nfiers();
  std::mt19937 rng(3);
  for (int size : {1, 2, 7, 63, 64, 65, 100, 300}) {
    for (int trial = 0; trial < 20; trial++) {
      std::vector<int> idx(static_cast<size_t>(size));
      for (int& i : idx) i = static_cast<int>(rng() % 9);  // 6 to 8 have no column
      std::vector<int> set = idx;
      std::sort(set.begin(), set.end());
      set.erase(std::unique(set.begin(), set.end()), set.end());
      std::vector<double> outs(n), expected(n);
      std::vector<int> ranks(n), expected_ranks(n);
      model.test_samp(idx.data(), size, outs.data(), ranks.data(), 3);
      model.test_samp(set.data(), static_cast<int>(set.size()), expected.data(),
                      expected_ranks.data(), 3);
      for (int k = 0; k < 3; k++) {
        EXPECT_EQ(outs[k], expected[k]) << size;
        EXPECT_EQ(ranks[k], expected_ranks[k]) << size;
      }
    }
  }
}

// A bad model throws ZDError, and the same object then loads a good one.
TEST(Facade, FailedLoadsThrowAndLeaveTheProcessRunning) {
  zdtest::TempDir tmp;
  ZandaModelAPI model;
  zdtest::WriteFile(tmp("zanda.parm"), "field f0 { }\nclassifier t { trivial = true bias = 1 }\n");
  try {
    model.load_mdl_parms(tmp("").c_str(), nullptr);
    ADD_FAILURE();
  } catch (const ZDError& e) {
    EXPECT_EQ(e.category(), ZDError::Category::user_input);
    EXPECT_EQ(e.label(), "MultiCategData::load_mdl_parms");
    EXPECT_EQ(e.message(), "Parameter file contains no kernel");
  }
  EXPECT_THROW(ZandaModelAPI().load_mdl_parms(tmp("absent/").c_str(), nullptr), ZDError);
  const char* biases[] = {"-0.5", "0", "0.25", "0.5", "1"};
  ZandaModelAPI good;
  good.load_mdl_parms(MakeModel(tmp, biases).c_str(), nullptr);
  EXPECT_EQ(good.get_nfiers(), 30);
}

}  // namespace
