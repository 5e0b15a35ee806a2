// The inverted index: rows stored as columns, and the three product methods
// against sums formed by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <random>
#include <vector>

#include "../test_support.h"
#include "ZDutil_transposer.h"
#include "ZDutil_uhandler.h"
#include "vectors.h"

namespace {

using BinMatrix = TransposeMatrix<ElemIdx, TableIdx>;
using ValMatrix = TransposeMatrix<ElemValIdx, TableValIdx>;
using namespace zdtest;  // the vector builders of vectors.h

template <class Matrix>
Elems Product(const Matrix& m, tmul_method_t method, const TableIdx& x) {
  Matrix copy = m;
  copy.method = method;
  TableValIdx out;
  copy.transpose_product_add(x, out);
  return elems_of(out);
}

// Irregular rows (repeats, negative and out-of-order indices), stump rows,
// compaction of sparse columns and huge indices.
TEST(Store, IrregularStumpAndCompactedRows) {
  Mvec<TableValIdx> rows(2);
  rows[0] = val({{4, 1.0f}, {-2, 5.0f}, {4, 2.0f}});
  rows[1] = val({{6, 1.0f}, {2, 1.0f}});
  ValMatrix irregular;
  Captured(ZDEvent::tracefile, [&] { irregular.store(rows, false); });
  for (tmul_method_t method : {TMUL_ADD, TMUL_MERGE, TMUL_LIST})
    EXPECT_EQ(Product(irregular, method, idx({2, 4, 6})), (Elems{{0, 3.0f}, {1, 2.0f}}));

  InputDataHandler h;
  Mvec<int> levels;
  levels.append(3);
  levels.append(2);
  Captured(ZDEvent::tracefile, [&] { h.update_stump(levels); });  // offsets 0, 3, 5
  Mvec<TableIdx> bins;
  bins.append(idx({2, 1}));  // columns 0, 1 and 3
  bins.append(idx({0, 2}));  // columns 3 and 4
  for (TableIdx& row : bins) row.stump = &h;
  BinMatrix s;
  Captured(ZDEvent::tracefile, [&] { s.store(bins, false); });
  const Ints expected[] = {{0}, {0}, {}, {0, 1}, {1}};
  for (int k = 0; k < 5; k++) EXPECT_EQ(indices_of(s.column(k)), expected[k]) << k;

  rows[0] = val({{5, 1.0f}, {2000000000, 2.0f}});
  rows[1] = val({{2147483647, 0.5f}, {-4, 9.0f}});
  ValMatrix huge;
  Captured(ZDEvent::tracefile, [&] { huge.store(rows, true); });
  EXPECT_EQ(huge.ncolumns(), 3);
  EXPECT_EQ(Product(huge, TMUL_MERGE, idx({5, 2147483647})), (Elems{{0, 1.0f}, {1, 0.5f}}));
  EXPECT_EQ(Product(huge, TMUL_LIST, idx({6, 2000000000})), (Elems{{0, 2.0f}}));
}

// The running merge keeps a zero's sign: a row whose one entry is -0 sums to
// -0, and +0 taken first, then -0 added, gives +0.
TEST(RunningMerge, KeepsTheSignOfZeroSums) {
  Mvec<TableValIdx> rows(2);
  rows[0] = val({{1, -0.0f}});
  rows[1] = val({{1, -0.0f}, {2, 0.0f}});
  ValMatrix m;
  Captured(ZDEvent::tracefile, [&] { m.store(rows, false); });
  const Elems sums = Product(m, TMUL_MERGE, idx({1, 2}));
  ASSERT_EQ(sums.size(), 2u);
  EXPECT_TRUE(std::signbit(sums[0].second));
  EXPECT_FALSE(std::signbit(sums[1].second));
}

// A random matrix kept as rows of (column, value), and a sample of columns.
struct Case {
  std::vector<std::map<int, float>> rows;
  std::vector<int> sample;
};

Case RandomCase(std::mt19937& rng, bool binary) {
  Case c;
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  int ncols = std::uniform_int_distribution<int>(1, 200)(rng);
  double density = 0.3 * coin(rng);
  // Either few distinct values, so that exact zeros and cancellations occur,
  // or arbitrary ones, so that the order of the additions shows.
  bool levels = coin(rng) < 0.5;
  std::uniform_int_distribution<int> level(-4, 4);
  std::uniform_real_distribution<float> any(-2.0f, 2.0f);
  c.rows.resize(std::uniform_int_distribution<int>(1, 300)(rng));
  for (auto& row : c.rows)
    for (int f = 0; f < ncols; f++)
      if (coin(rng) < density) row[f] = binary ? 1.0f : levels ? level(rng) * 0.375f : any(rng);
  for (int f = 0; f < ncols + 10; f++)
    if (coin(rng) < 0.2) c.sample.push_back(f);
  return c;
}

void Add(TableIdx& row, int f, float) { row.append(ElemIdx{f}); }
void Add(TableValIdx& row, int f, float v) { row.append(ElemValIdx{f, v}); }

// tmrg and tlist add the features from the last to the first, each addition
// in double rounded to float, and list every touched row; tadd adds in float
// from the first and leaves out rows summing to 0.
template <class Matrix, class Row>
void CheckMethods(const Case& c, bool compact) {
  Mvec<Row> rows;
  for (const auto& r : c.rows) {
    Row row;
    for (const auto& kv : r) Add(row, kv.first, kv.second);
    rows.append(row);
  }
  Matrix m;
  Captured(ZDEvent::tracefile, [&] { m.store(rows, compact); });
  Elems merged, added;
  for (int r = 0; r < static_cast<int>(c.rows.size()); r++) {
    bool touched = false;
    float merge = 0.0f, add = 0.0f;
    for (auto k = c.sample.rbegin(); k != c.sample.rend(); ++k) {
      auto it = c.rows[r].find(*k);
      if (it == c.rows[r].end()) continue;
      merge = touched ? static_cast<float>(1.0 * it->second + merge) : it->second;
      touched = true;
    }
    for (int f : c.sample)
      if (c.rows[r].count(f)) add += c.rows[r].at(f);
    if (touched) merged.emplace_back(r, merge);
    if (add != 0.0f) added.emplace_back(r, add);
  }
  TableIdx x;
  for (int f : c.sample) x.append(ElemIdx{f});
  EXPECT_EQ(Product(m, TMUL_MERGE, x), merged);  // bit for bit
  EXPECT_EQ(Product(m, TMUL_LIST, x), merged);
  EXPECT_EQ(Product(m, TMUL_ADD, x), added);
}

TEST(RandomProducts, AllMethodsAgreeWithSumsByHand) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 120; round++) {
    SCOPED_TRACE(round);
    Case c = RandomCase(rng, round % 3 == 0);
    if (round % 3 == 0)
      CheckMethods<BinMatrix, TableIdx>(c, round % 2 == 0);
    else
      CheckMethods<ValMatrix, TableValIdx>(c, round % 2 == 0);
  }
}

}  // namespace
