// The inverted index: storing rows as columns and the three product methods.
#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <initializer_list>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "../test_support.h"
#include "ZDutil_transposer.h"
#include "ZDutil_uhandler.h"
#include "vectors.h"

namespace {

using BinMatrix = TransposeMatrix<ElemIdx, TableIdx>;
using ValMatrix = TransposeMatrix<ElemValIdx, TableValIdx>;
using namespace zdtest;  // the vector builders of vectors.h

const tmul_method_t kMethods[] = {TMUL_ADD, TMUL_MERGE, TMUL_LIST};

template <class Matrix>
Elems product(const Matrix& m, tmul_method_t method, const TableIdx& x) {
  Matrix copy = m;
  copy.method = method;
  TableValIdx out;
  copy.transpose_product_add(x, out);
  return elems_of(out);
}

// Stores `rows` into `m` and returns the traces.
template <class Matrix, class Row>
std::string store(Matrix& m, Mvec<Row>& rows, bool compact) {
  return zdtest::Captured(ZDEvent::tracefile, [&] { m.store(rows, compact); });
}

TEST(Store, BinaryRowsWithAndWithoutCompaction) {
  Mvec<TableIdx> rows;
  rows.append(idx({0, 2}));
  rows.append(idx({2}));
  rows.append(TableIdx());
  BinMatrix m;
  EXPECT_EQ(store(m, rows, false),
            "Creating a transpose table with 3 columns and 3 depth\n"
            "Average column size is 0<=1<=2\n");
  for (tmul_method_t method : kMethods) {
    EXPECT_EQ(product(m, method, idx({2, 5})), (Elems{{0, 1.0f}, {1, 1.0f}})) << method;
    EXPECT_EQ(product(m, method, idx({1})), Elems{}) << method;
    EXPECT_EQ(product(m, method, TableIdx()), Elems{}) << method;
    EXPECT_EQ(product(m, method, idx({0, 2})), (Elems{{0, 2.0f}, {1, 1.0f}})) << method;
  }

  rows.set_nitems(2);
  rows[0] = idx({10});
  rows[1] = idx({10, 40});
  BinMatrix c;
  EXPECT_EQ(store(c, rows, true),
            "Creating a transpose table with 41 columns and 2 depth\n"
            "Compressed matrix 2 from 41\n"
            "Average column size is 1<=1.5<=2\n");
  EXPECT_EQ(std::vector<int>(c.remap.begin(), c.remap.end()), (Ints{10, 40}));
  TableIdx scratch;
  const TableIdx& y = c.apply_remap(idx({3, 40, 41}), scratch);
  EXPECT_EQ(&y, &scratch);
  EXPECT_EQ(indices_of(y), Ints{1});
  for (tmul_method_t method : kMethods)
    EXPECT_EQ(product(c, method, idx({10, 40})), (Elems{{0, 1.0f}, {1, 2.0f}})) << method;

  // Compaction needs at least half of the columns empty.
  rows.set_nitems(1);
  rows[0] = idx({0, 3});
  BinMatrix half;
  store(half, rows, true);
  EXPECT_EQ(half.remap.nitems, 2);
  rows[0] = idx({0, 1, 3});
  BinMatrix more;
  store(more, rows, true);
  EXPECT_EQ(more.ncolumns(), 4);
  EXPECT_EQ(more.remap.nitems, 0);
  const TableIdx x = idx({1, 3});
  EXPECT_EQ(&more.apply_remap(x, scratch), &x);
}

TEST(Store, DenseIrregularAndStumpRows) {
  Mvec<TableValIdx> rows;
  TableValIdx d(false);
  for (float v : {0.5f, 0.0f, -0.5f}) d.append(ElemValIdx{d.nitems, v});
  rows.append(d);
  rows.append(val({{1, 3.0f}}));
  ValMatrix m;
  store(m, rows, false);
  // Row 0 (reaching column 2) sums to exactly 0: tadd leaves it out, the others keep it.
  EXPECT_EQ(product(m, TMUL_ADD, idx({0, 1, 2})), (Elems{{1, 3.0f}}));
  EXPECT_EQ(product(m, TMUL_MERGE, idx({0, 1, 2})), (Elems{{0, 0.0f}, {1, 3.0f}}));
  EXPECT_EQ(product(m, TMUL_LIST, idx({0, 1, 2})), (Elems{{0, 0.0f}, {1, 3.0f}}));

  rows.set_nitems(2);
  rows[0] = val({{4, 1.0f}, {-2, 5.0f}, {4, 2.0f}});  // repeated and negative index
  rows[1] = val({{6, 1.0f}, {2, 1.0f}});              // out of order
  ValMatrix irregular;
  store(irregular, rows, false);
  EXPECT_EQ(elems_of(irregular.column(4)), (Elems{{0, 3.0f}}));  // one entry per row
  for (tmul_method_t method : kMethods)
    EXPECT_EQ(product(irregular, method, idx({2, 4, 6})), (Elems{{0, 3.0f}, {1, 2.0f}}));

  InputDataHandler h;
  Mvec<int> levels;
  levels.append(3);
  levels.append(2);
  zdtest::Captured(ZDEvent::tracefile, [&] { h.update_stump(levels); });  // offsets 0, 3, 5
  Mvec<TableIdx> bins;
  bins.append(idx({2, 1}));
  bins.append(idx({0, 2}));
  for (TableIdx& row : bins) row.stump = &h;
  BinMatrix s;
  store(s, bins, false);
  ASSERT_EQ(s.ncolumns(), 5);
  const Ints expected[] = {{0}, {0}, {}, {0, 1}, {1}};
  for (int k = 0; k < 5; k++) EXPECT_EQ(indices_of(s.column(k)), expected[k]) << k;
  rows.set_nitems(1);
  rows[0] = val({{1, 7.0f}});  // bin 1 of position 0; the value is not used
  rows[0].stump = &h;
  ValMatrix sv;
  store(sv, rows, false);
  EXPECT_EQ(elems_of(sv.column(0)), (Elems{{0, 1.0f}}));
  EXPECT_EQ(sv.column(1).nitems, 0);
}

TEST(AVlist, MergesInsertBeforeBetweenAndAfter) {
  AVlist list;
  list.merge(val({{4, 1.0f}, {8, 2.0f}}), 1.0);  // an empty list copies
  list.merge(idx({1, 4, 6, 9, 12}), 0.5);
  list.merge(val({{0, 1.0f}}), 2.0);
  EXPECT_EQ(list.check_seq(), 7);
  TableValIdx out;
  list.dump(out);
  EXPECT_EQ(elems_of(out),
            (Elems{{0, 2.0f}, {1, 0.5f}, {4, 1.5f}, {6, 0.5f}, {8, 2.0f}, {9, 0.5f}, {12, 0.5f}}));
}

TEST(TransposerDeathTest, RefusedOutputMethodAndBrokenLists) {
  Mvec<TableIdx> rows;
  rows.append(idx({0}));
  BinMatrix m;
  store(m, rows, false);
  const std::string label = "TransposeMatrix<TransElem,TransTable>::transpose_product_add";
  TableValIdx dense(false), out;
  EXPECT_EXIT(m.transpose_product_add(idx({0}), dense), testing::ExitedWithCode(1),
              zdtest::Exact(zdtest::UserError(label, "should not be used on non sparse data")));
  m.method = static_cast<tmul_method_t>(3);
  EXPECT_EXIT(m.transpose_product_add(idx({0}), out), testing::ExitedWithCode(1),
              zdtest::Exact(zdtest::UserError(label, "unknown column combination algorithm\n")));

  AVlist disordered;
  disordered.nodes.append(elem<ElemValIdx>{{5, 1.0f}, 1});
  disordered.nodes.append(elem<ElemValIdx>{{3, 1.0f}, -1});
  disordered.head = 0;
  EXPECT_EXIT(disordered.dump(out), testing::KilledBySignal(SIGABRT),
              "^AVlist::check_seq: wrong seq order\n$");
  AVlist unlinked;
  unlinked.nodes.append(elem<ElemValIdx>{{1, 1.0f}, -1});
  unlinked.nodes.append(elem<ElemValIdx>{{2, 1.0f}, -1});
  unlinked.head = 0;
  EXPECT_EXIT(
      unlinked.dump(out), testing::ExitedWithCode(1),
      zdtest::Exact(zdtest::UserError("AVlist::dump", "List of 2 elements: only 1 seen\n")));
}

// A random matrix kept as rows of (column, value), and a sample of columns.
struct Case {
  std::vector<std::map<int, float>> rows;
  std::vector<int> sample;
};

Case random_case(std::mt19937& rng, bool binary) {
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

void add(TableIdx& row, int f, float) {
  row.append(ElemIdx{f});
}
void add(TableValIdx& row, int f, float v) {
  row.append(ElemValIdx{f, v});
}

// Stores the rows of `c` and checks each method against the sums formed by
// hand: tmrg and tlist add the features from the last to the first, each
// addition in double rounded to float, and list every touched row; tadd adds
// in float from the first and leaves out rows summing to 0.
template <class Matrix, class Row>
void check_methods(const Case& c, bool compact) {
  Mvec<Row> rows;
  for (const auto& r : c.rows) {
    Row row;
    for (const auto& kv : r) add(row, kv.first, kv.second);
    rows.append(row);
  }
  Matrix m;
  store(m, rows, compact);
  Elems merged, added;
  for (int r = 0; r < static_cast<int>(c.rows.size()); r++) {
    bool touched = false;
    float merge = 0.0f, add = 0.0f;
    double exact = 0.0;
    for (auto k = c.sample.rbegin(); k != c.sample.rend(); ++k) {
      auto it = c.rows[r].find(*k);
      if (it == c.rows[r].end()) continue;
      merge = touched ? static_cast<float>(1.0 * it->second + merge) : it->second;
      touched = true;
      exact += it->second;
    }
    for (int f : c.sample)
      if (c.rows[r].count(f)) add += c.rows[r].at(f);
    if (touched) {
      merged.emplace_back(r, merge);
      EXPECT_NEAR(merge, exact, 1e-5 * (1.0 + std::abs(exact)));
    }
    if (add != 0.0f) added.emplace_back(r, add);
  }
  TableIdx x;
  for (int f : c.sample) x.append(ElemIdx{f});
  EXPECT_EQ(product(m, TMUL_MERGE, x), merged);  // bit for bit
  EXPECT_EQ(product(m, TMUL_LIST, x), merged);
  EXPECT_EQ(product(m, TMUL_ADD, x), added);
}

TEST(RandomProducts, AllMethodsAgreeWithSumsByHand) {
  std::mt19937 rng(20240611);
  for (int round = 0; round < 120; round++) {
    SCOPED_TRACE(round);
    Case c = random_case(rng, round % 3 == 0);
    if (round % 3 == 0)
      check_methods<BinMatrix, TableIdx>(c, round % 2 == 0);
    else
      check_methods<ValMatrix, TableValIdx>(c, round % 2 == 0);
  }
}

// Layout: the columns share one storage, copies own theirs, and huge
// indices make only the used columns.
TEST(TransposeLayout, CopiesKeepWorkingAfterTheOriginalIsGone) {
  ValMatrix copy;
  {
    // Row 1 repeats feature 3: one entry holding 0.5 + 0.25.
    Mvec<TableValIdx> rows(3);
    rows[0] = val({{1, 0.5f}, {3, 2.0f}});
    rows[1] = val({{3, 0.5f}, {3, 0.25f}});
    rows[2] = val({{0, 4.0f}});
    ValMatrix m;
    m.store(rows, false);
    ASSERT_EQ(m.ncolumns(), 4);
    EXPECT_EQ(m.column(2).size(), 0);
    EXPECT_EQ(m.column(3).size(), 2);
    copy = m;
    ValMatrix second(m);
    EXPECT_EQ(product(second, TMUL_MERGE, idx({0, 3})), (Elems{{0, 2.0f}, {1, 0.75f}, {2, 4.0f}}));
  }
  EXPECT_EQ(product(copy, TMUL_MERGE, idx({0, 3})), (Elems{{0, 2.0f}, {1, 0.75f}, {2, 4.0f}}));
  EXPECT_EQ(product(copy, TMUL_MERGE, idx({1, 2})), (Elems{{0, 0.5f}}));
}

// Enough entries that the rows are scattered a band of columns at a time:
// every column must still list its rows in increasing order with their values.
TEST(TransposeLayout, LargeRowsKeepEveryColumnInRowOrder) {
  constexpr int kColumns = 200000;
  auto value = [](int r, int c) { return static_cast<float>(r) + c / 1024.0f; };  // exact
  Mvec<TableValIdx> rows(5);
  for (int r = 0; r < 4; r++)  // row r: the multiples of r + 2
    for (int c = 0; c < kColumns; c += r + 2) add(rows[r], c, value(r, c));
  add(rows[4], -3, 1.0f);  // no column
  add(rows[4], kColumns - 1, 2.0f);
  ValMatrix m;
  m.store(rows, false);
  ASSERT_EQ(m.ncolumns(), kColumns);
  for (int c = 0; c < kColumns; c++) {
    Elems expected, got;
    for (int r = 0; r < 4; r++)
      if (c % (r + 2) == 0) expected.emplace_back(r, value(r, c));
    if (c == kColumns - 1) expected.emplace_back(4, 2.0f);
    for (const ElemValIdx& e : m.column(c)) got.emplace_back(e.index, e.value);
    ASSERT_EQ(got, expected) << "column " << c;
  }
}

TEST(TransposeLayout, HugeIndicesMakeOnlyTheUsedColumns) {
  Mvec<TableValIdx> rows(2);
  rows[0] = val({{5, 1.0f}, {2000000000, 2.0f}});
  rows[1] = val({{2147483647, 0.5f}, {-4, 9.0f}});
  ValMatrix m;
  m.store(rows, false);
  ASSERT_EQ(m.ncolumns(), 3);
  ASSERT_EQ(m.remap.size(), 3);
  EXPECT_EQ(m.remap[0], 5);
  EXPECT_EQ(m.remap[1], 2000000000);
  EXPECT_EQ(m.remap[2], 2147483647);
  EXPECT_EQ(product(m, TMUL_MERGE, idx({5, 2147483647})), (Elems{{0, 1.0f}, {1, 0.5f}}));
  EXPECT_EQ(product(m, TMUL_MERGE, idx({6, 2000000000})), (Elems{{0, 2.0f}}));
  EXPECT_EQ(product(m, TMUL_MERGE, idx({4})), Elems{});
}

}  // namespace
