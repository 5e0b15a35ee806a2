#include <gtest/gtest.h>

#include <cmath>
#include <csignal>
#include <cstdio>
#include <initializer_list>
#include <map>
#include <random>
#include <string>
#include <utility>
#include <vector>

#include "ZDutil_transposer.h"
#include "ZDutil_uhandler.h"

namespace {

using BinMatrix = TransposeMatrix<ElemIdx, TableIdx>;
using ValMatrix = TransposeMatrix<ElemValIdx, TableValIdx>;
using Elems = std::vector<std::pair<int, float>>;

const tmul_method_t kMethods[] = {TMUL_ADD, TMUL_MERGE, TMUL_LIST};

TableIdx idx(std::initializer_list<int> indices) {
  TableIdx v;
  for (int i : indices) v.append(ElemIdx{i});
  return v;
}

TableValIdx val(std::initializer_list<std::pair<int, float>> elems) {
  TableValIdx v;
  for (const auto& e : elems) v.append(ElemValIdx{e.first, e.second});
  return v;
}

Elems elems_of(const TableValIdx& v) {
  Elems out;
  for (const ElemValIdx& e : v) out.emplace_back(e.index, e.value);
  return out;
}

std::vector<int> rows_of(const TableIdx& column) {
  std::vector<int> out;
  for (const ElemIdx& e : column) out.push_back(e.index);
  return out;
}

template <class Matrix>
Elems product(const Matrix& m, tmul_method_t method, const TableIdx& x) {
  Matrix copy = m;
  copy.method = method;
  TableValIdx out;
  copy.transpose_product_add(x, out);
  return elems_of(out);
}

// Runs a body with the trace stream sent to a temporary file and returns
// what was traced.
template <class Body>
std::string traced(Body body) {
  FILE* saved = ZDEvent::tracefile;
  FILE* f = tmpfile();
  ZDEvent::tracefile = f;
  body();
  ZDEvent::tracefile = saved;
  rewind(f);
  std::string s;
  for (int c; (c = getc(f)) != EOF;) s += static_cast<char>(c);
  fclose(f);
  return s;
}

// --------------------------------------------------------- worked examples

TEST(Store, ThreeBinaryRows) {
  Mvec<TableIdx> rows;
  rows.append(idx({0, 2}));
  rows.append(idx({2}));
  rows.append(TableIdx());
  BinMatrix m;
  std::string trace = traced([&] { m.store(rows, false); });
  EXPECT_EQ(trace,
            "Creating a transpose table with 3 columns and 3 depth\n"
            "Average column size is 0<=1<=2\n");
  EXPECT_EQ(m.nrows, 3);
  ASSERT_EQ(m.columns.nitems, 3);
  EXPECT_EQ(rows_of(m.columns[0]), (std::vector<int>{0}));
  EXPECT_EQ(rows_of(m.columns[1]), (std::vector<int>{}));
  EXPECT_EQ(rows_of(m.columns[2]), (std::vector<int>{0, 1}));
  EXPECT_EQ(m.columns[2].nalloc, 2);
  EXPECT_EQ(m.remap.nitems, 0);
  for (const TableIdx& row : rows) EXPECT_EQ(row.nitems, 0);  // consumed

  for (tmul_method_t method : kMethods) {
    SCOPED_TRACE(method);
    EXPECT_EQ(product(m, method, idx({2, 5})), (Elems{{0, 1.0f}, {1, 1.0f}}));
    EXPECT_EQ(product(m, method, idx({1})), Elems{});
    EXPECT_EQ(product(m, method, TableIdx()), Elems{});
    EXPECT_EQ(product(m, method, idx({0, 2})), (Elems{{0, 2.0f}, {1, 1.0f}}));
  }
}

TEST(Store, CompactionKeepsNonEmptyColumns) {
  Mvec<TableIdx> rows;
  rows.append(idx({10}));
  rows.append(idx({10, 40}));
  BinMatrix m;
  std::string trace = traced([&] { m.store(rows, true); });
  EXPECT_EQ(trace,
            "Creating a transpose table with 41 columns and 2 depth\n"
            "Compressed matrix 2 from 41\n"
            "Average column size is 1<=1.5<=2\n");
  ASSERT_EQ(m.columns.nitems, 2);
  EXPECT_EQ(m.columns.nalloc, 2);
  ASSERT_EQ(m.remap.nitems, 2);
  EXPECT_EQ(m.remap[0], 10);
  EXPECT_EQ(m.remap[1], 40);
  EXPECT_EQ(rows_of(m.columns[0]), (std::vector<int>{0, 1}));
  EXPECT_EQ(rows_of(m.columns[1]), (std::vector<int>{1}));

  TableIdx scratch;
  const TableIdx& y = m.apply_remap(idx({3, 40, 41}), scratch);
  EXPECT_EQ(&y, &scratch);
  EXPECT_EQ(rows_of(y), (std::vector<int>{1}));
  for (tmul_method_t method : kMethods) {
    SCOPED_TRACE(method);
    EXPECT_EQ(product(m, method, idx({3, 40})), (Elems{{1, 1.0f}}));
    EXPECT_EQ(product(m, method, idx({10, 40})), (Elems{{0, 1.0f}, {1, 2.0f}}));
  }
}

TEST(Store, CompactionNeedsHalfTheColumnsEmpty) {
  ZDEvent::verbose = 0;
  Mvec<TableIdx> half;
  half.append(idx({0, 3}));
  BinMatrix a;
  a.store(half, true);
  EXPECT_EQ(a.columns.nitems, 2);
  EXPECT_EQ(a.remap.nitems, 2);

  Mvec<TableIdx> more;
  more.append(idx({0, 1, 3}));
  BinMatrix b;
  b.store(more, true);
  EXPECT_EQ(b.columns.nitems, 4);
  EXPECT_EQ(b.remap.nitems, 0);
  TableIdx scratch;
  const TableIdx x = idx({1, 3});
  EXPECT_EQ(&b.apply_remap(x, scratch), &x);
  ZDEvent::verbose = 1;
}

TEST(Store, ValuedRowsWithEachMethod) {
  Mvec<TableValIdx> rows;
  rows.append(val({{1, 0.5f}, {3, 2.0f}}));
  rows.append(val({{3, 1.0f}}));
  ValMatrix m;
  ZDEvent::verbose = 0;
  m.store(rows, false);
  ZDEvent::verbose = 1;
  EXPECT_EQ(m.columns.nitems, 4);
  for (tmul_method_t method : kMethods) {
    SCOPED_TRACE(method);
    EXPECT_EQ(product(m, method, idx({3})), (Elems{{0, 2.0f}, {1, 1.0f}}));
    EXPECT_EQ(product(m, method, idx({1, 3})), (Elems{{0, 2.5f}, {1, 1.0f}}));
  }
}

TEST(Store, DenseRowsAndExactZeros) {
  Mvec<TableValIdx> rows;
  TableValIdx d(false);
  for (float v : {0.5f, 0.0f, -0.5f}) d.append(ElemValIdx{d.nitems, v});
  rows.append(d);
  rows.append(val({{1, 3.0f}}));
  ValMatrix m;
  ZDEvent::verbose = 0;
  m.store(rows, false);
  ZDEvent::verbose = 1;
  ASSERT_EQ(m.columns.nitems, 3);  // a dense row of count 3 reaches column 2
  // Row 0 sums to exactly 0 over {0, 1, 2}: tadd leaves it out, the others keep it.
  EXPECT_EQ(product(m, TMUL_ADD, idx({0, 1, 2})), (Elems{{1, 3.0f}}));
  EXPECT_EQ(product(m, TMUL_MERGE, idx({0, 1, 2})), (Elems{{0, 0.0f}, {1, 3.0f}}));
  EXPECT_EQ(product(m, TMUL_LIST, idx({0, 1, 2})), (Elems{{0, 0.0f}, {1, 3.0f}}));
}

TEST(Store, IrregularRowsGiveOneEntryPerRow) {
  Mvec<TableValIdx> rows;
  rows.append(val({{4, 1.0f}, {-2, 5.0f}, {4, 2.0f}}));  // repeated and negative index
  rows.append(val({{6, 1.0f}, {2, 1.0f}}));              // out of order
  ValMatrix m;
  ZDEvent::verbose = 0;
  m.store(rows, false);
  ZDEvent::verbose = 1;
  EXPECT_EQ(m.columns.nitems, 7);
  EXPECT_EQ(elems_of(m.columns[4]), (Elems{{0, 3.0f}}));
  for (tmul_method_t method : kMethods)
    EXPECT_EQ(product(m, method, idx({2, 4, 6})), (Elems{{0, 3.0f}, {1, 2.0f}}));
}

TEST(Store, StumpRowsSetTheirBinColumns) {
  InputDataHandler h;
  Mvec<int> levels;
  levels.append(3);
  levels.append(2);
  ZDEvent::verbose = 0;
  h.update_stump(levels);  // offsets 0, 3, 5
  Mvec<TableIdx> rows;
  rows.append(idx({2, 1}));
  rows.append(idx({0, 2}));
  for (TableIdx& row : rows) row.stump = &h;
  BinMatrix m;
  m.store(rows, false);
  ASSERT_EQ(m.columns.nitems, 5);
  EXPECT_EQ(rows_of(m.columns[0]), (std::vector<int>{0}));
  EXPECT_EQ(rows_of(m.columns[1]), (std::vector<int>{0}));
  EXPECT_EQ(rows_of(m.columns[2]), (std::vector<int>{}));
  EXPECT_EQ(rows_of(m.columns[3]), (std::vector<int>{0, 1}));
  EXPECT_EQ(rows_of(m.columns[4]), (std::vector<int>{1}));

  Mvec<TableValIdx> vrows;
  vrows.append(val({{1, 7.0f}}));  // bin 1 of position 0; the value is not used
  vrows[0].stump = &h;
  ValMatrix v;
  v.store(vrows, false);
  ZDEvent::verbose = 1;
  ASSERT_EQ(v.columns.nitems, 5);
  EXPECT_EQ(elems_of(v.columns[0]), (Elems{{0, 1.0f}}));
  EXPECT_EQ(v.columns[1].nitems, 0);
}

// ------------------------------------------------------------ error paths

TEST(ProductDeathTest, RefusedOutputAndMethod) {
  Mvec<TableIdx> rows;
  rows.append(idx({0}));
  BinMatrix m;
  ZDEvent::verbose = 0;
  m.store(rows, false);
  ZDEvent::verbose = 1;
  TableValIdx dense(false);
  EXPECT_EXIT(m.transpose_product_add(idx({0}), dense), ::testing::ExitedWithCode(1),
              "TransposeMatrix<TransElem,TransTable>::transpose_product_add: should not be used "
              "on non sparse data\nPlease verify first your input model and your data\n");
  m.method = static_cast<tmul_method_t>(3);
  TableValIdx out;
  EXPECT_EXIT(m.transpose_product_add(idx({0}), out), ::testing::ExitedWithCode(1),
              "TransposeMatrix<TransElem,TransTable>::transpose_product_add: unknown column "
              "combination algorithm\n\nPlease verify first your input model and your data\n");
}

TEST(AVlistDeathTest, BrokenListsAreReported) {
  AVlist disordered;
  disordered.nodes.append(elem<ElemValIdx>{{5, 1.0f}, 1});
  disordered.nodes.append(elem<ElemValIdx>{{3, 1.0f}, -1});
  disordered.head = 0;
  TableValIdx out;
  EXPECT_EXIT(disordered.dump(out), ::testing::KilledBySignal(SIGABRT),
              "AVlist::check_seq: wrong seq order\n");

  AVlist unlinked;
  unlinked.nodes.append(elem<ElemValIdx>{{1, 1.0f}, -1});
  unlinked.nodes.append(elem<ElemValIdx>{{2, 1.0f}, -1});
  unlinked.head = 0;
  EXPECT_EXIT(unlinked.dump(out), ::testing::ExitedWithCode(1),
              "AVlist::dump: List of 2 elements: only 1 seen\n\nPlease verify first");
}

TEST(AVlist, MergesInsertBeforeBetweenAndAfter) {
  AVlist list;
  list.merge(val({{4, 1.0f}, {8, 2.0f}}), 1.0);  // an empty list copies
  EXPECT_EQ(list.head, 0);
  list.merge(idx({1, 4, 6, 9, 12}), 0.5);
  list.merge(val({{0, 1.0f}}), 2.0);
  EXPECT_EQ(list.check_seq(), 7);
  TableValIdx out;
  list.dump(out);
  EXPECT_EQ(elems_of(out),
            (Elems{{0, 2.0f}, {1, 0.5f}, {4, 1.5f}, {6, 0.5f}, {8, 2.0f}, {9, 0.5f}, {12, 0.5f}}));
}

// --------------------------------------------- randomised against dense sums

// A random matrix kept as dense rows, with the sums each method must give.
struct Case {
  std::vector<std::map<int, float>> rows;
  std::vector<int> sample;
  int ncols = 0;
};

Case random_case(std::mt19937& rng, bool binary) {
  Case c;
  int nrows = std::uniform_int_distribution<int>(1, 300)(rng);
  c.ncols = std::uniform_int_distribution<int>(1, 200)(rng);
  double density = std::uniform_real_distribution<double>(0.0, 0.3)(rng);
  std::uniform_real_distribution<double> coin(0.0, 1.0);
  // Either few distinct values, so that exact zeros and cancellations occur,
  // or arbitrary ones, so that the order of the additions shows.
  bool levels = coin(rng) < 0.5;
  std::uniform_int_distribution<int> level(-4, 4);
  std::uniform_real_distribution<float> any(-2.0f, 2.0f);
  c.rows.resize(nrows);
  for (auto& row : c.rows)
    for (int f = 0; f < c.ncols; f++)
      if (coin(rng) < density) row[f] = binary ? 1.0f : levels ? level(rng) * 0.375f : any(rng);
  for (int f = 0; f < c.ncols + 10; f++)
    if (coin(rng) < 0.2) c.sample.push_back(f);
  return c;
}

template <class Matrix, class Row>
Matrix build(const Case& c, bool compact, Row make_row) {
  Mvec<decltype(make_row(c.rows[0]))> rows;
  for (const auto& r : c.rows) rows.append(make_row(r));
  Matrix m;
  m.store(rows, compact);
  return m;
}

// Expected product: every row with an entry in a sample column, its sum
// formed as the running merge forms it (last feature first, each addition in
// double rounded to float), and as tadd forms it (first feature first, float).
struct Expected {
  Elems merged;
  Elems added;
  std::vector<double> exact;  // per listed row of `merged`
};

Expected expected_of(const Case& c) {
  Expected e;
  for (int r = 0; r < static_cast<int>(c.rows.size()); r++) {
    const auto& row = c.rows[r];
    bool touched = false;
    float merged = 0.0f, added = 0.0f;
    double exact = 0.0;
    for (int k = static_cast<int>(c.sample.size()) - 1; k >= 0; k--) {
      auto it = row.find(c.sample[k]);
      if (it == row.end()) continue;
      merged = touched ? static_cast<float>(1.0 * it->second + merged) : it->second;
      touched = true;
      exact += it->second;
    }
    for (int f : c.sample) {
      auto it = row.find(f);
      if (it != row.end()) added += it->second;
    }
    if (touched) {
      e.merged.emplace_back(r, merged);
      e.exact.push_back(exact);
    }
    if (added != 0.0f) e.added.emplace_back(r, added);
  }
  return e;
}

template <class Matrix>
void check_methods(const Matrix& m, const Case& c, const Expected& e) {
  TableIdx x;
  for (int f : c.sample) x.append(ElemIdx{f});
  Elems merged = product(m, TMUL_MERGE, x);
  EXPECT_EQ(merged, e.merged);  // bit for bit
  EXPECT_EQ(product(m, TMUL_LIST, x), e.merged);
  EXPECT_EQ(product(m, TMUL_ADD, x), e.added);
  for (size_t k = 0; k < merged.size() && k < e.exact.size(); k++)
    EXPECT_NEAR(merged[k].second, e.exact[k], 1e-5 * (1.0 + std::abs(e.exact[k])));
}

TEST(RandomProducts, AllMethodsAgreeWithDenseSums) {
  std::mt19937 rng(20240611);
  ZDEvent::verbose = 0;
  for (int round = 0; round < 300; round++) {
    SCOPED_TRACE(round);
    bool binary = round % 3 == 0;
    bool compact = round % 2 == 0;
    Case c = random_case(rng, binary);
    Expected e = expected_of(c);
    if (binary) {
      auto m = build<BinMatrix>(c, compact, [](const std::map<int, float>& r) {
        TableIdx row;
        for (const auto& kv : r) row.append(ElemIdx{kv.first});
        return row;
      });
      check_methods(m, c, e);
    } else {
      auto m = build<ValMatrix>(c, compact, [](const std::map<int, float>& r) {
        TableValIdx row;
        for (const auto& kv : r) row.append(ElemValIdx{kv.first, kv.second});
        return row;
      });
      check_methods(m, c, e);
    }
  }
  ZDEvent::verbose = 1;
}

}  // namespace
