// One product of a 150-feature sample with an inverted index of valued rows
// (one weight vector per class), for each column combination method.
//
// The matrix mimics the weight vectors of a text classifier over a 20000
// feature vocabulary: the feature of popularity rank k has a weight in
// min(rows, rows * 10 / (k + 10)) classes (at least one), so frequent
// features have long columns and most others short ones; the sample's
// features are drawn with probability proportional to 1 / (k + 1).
#include <benchmark/benchmark.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <utility>
#include <vector>

#include "ZDutil_transposer.h"

namespace {

const int kVocabulary = 20000;
const int kSampleFeatures = 150;

using ValMatrix = TransposeMatrix<ElemValIdx, TableValIdx>;

struct Setup {
  ValMatrix matrix;
  TableIdx sample;
  long long entries = 0;  // column entries touched by the sample
};

Setup make_setup(int nrows) {
  std::mt19937 rng(12345 + nrows);
  std::vector<std::vector<std::pair<int, float>>> rows(nrows);
  std::vector<int> order(nrows);
  std::iota(order.begin(), order.end(), 0);
  std::uniform_real_distribution<float> weight(-1.0f, 1.0f);
  std::vector<int> length(kVocabulary);
  for (int k = 0; k < kVocabulary; k++) {
    long long len = std::max(1LL, std::min<long long>(nrows, 10LL * nrows / (k + 10)));
    length[k] = static_cast<int>(len);
    // The first len rows of a shuffled order: a random subset of classes.
    std::shuffle(order.begin(), order.end(), rng);
    for (int i = 0; i < len; i++) rows[order[i]].emplace_back(k, weight(rng));
  }
  Setup s;
  Mvec<TableValIdx> table;
  for (const auto& r : rows) {
    TableValIdx row;
    for (const auto& e : r) row.append(ElemValIdx{e.first, e.second});
    table.append(row);
  }
  ZDEvent::verbose = 0;
  s.matrix.store(table, false);

  std::vector<double> popularity(kVocabulary);
  for (int k = 0; k < kVocabulary; k++) popularity[k] = 1.0 / (k + 1);
  std::discrete_distribution<int> pick(popularity.begin(), popularity.end());
  std::map<int, bool> chosen;
  while (static_cast<int>(chosen.size()) < kSampleFeatures) chosen[pick(rng)] = true;
  for (const auto& kv : chosen) {
    s.sample.append(ElemIdx{kv.first});
    s.entries += length[kv.first];
  }
  return s;
}

const Setup& setup_for(int nrows) {
  static std::map<int, Setup> setups;
  auto it = setups.find(nrows);
  if (it == setups.end()) it = setups.emplace(nrows, make_setup(nrows)).first;
  return it->second;
}

void BM_Product(benchmark::State& state) {
  const Setup& s = setup_for(static_cast<int>(state.range(1)));
  ValMatrix m = s.matrix;
  m.method = static_cast<tmul_method_t>(state.range(0));
  TableValIdx out;
  for (auto _ : state) {
    m.transpose_product_add(s.sample, out);
    benchmark::DoNotOptimize(out.data);
  }
  state.counters["entries"] = static_cast<double>(s.entries);
  state.counters["result"] = out.nitems;
}

// The running merge taken literally (result <- result + column, last feature
// first, with TableValIdx::merge): the baseline that tmrg reproduces exactly.
void BM_LiteralMerge(benchmark::State& state) {
  const Setup& s = setup_for(static_cast<int>(state.range(0)));
  TableValIdx a, b, out;
  a.resize(s.matrix.nrows);
  b.resize(s.matrix.nrows);
  for (auto _ : state) {
    TableValIdx* cur = &a;
    TableValIdx* next = &b;
    cur->set_nitems(0);
    for (int i = s.sample.nitems - 1; i >= 0; i--) {
      int f = s.sample[i].index;
      if (f >= s.matrix.ncolumns()) continue;
      const ValMatrix::Column column = s.matrix.column(f);
      TableValIdx view;
      view.borrow(const_cast<ElemValIdx*>(column.data), column.nitems);
      next->merge(*cur, view, 1.0);
      std::swap(cur, next);
    }
    out = *cur;
    benchmark::DoNotOptimize(out.data);
  }
  state.counters["result"] = out.nitems;
}

BENCHMARK(BM_Product)
    ->ArgNames({"method", "rows"})
    ->ArgsProduct({{TMUL_ADD, TMUL_MERGE, TMUL_LIST}, {50, 500, 5000}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_LiteralMerge)
    ->ArgName("rows")
    ->Arg(50)
    ->Arg(500)
    ->Arg(5000)
    ->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
