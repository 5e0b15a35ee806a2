// Layout of the inverted index: the columns share one storage, copies own
// theirs, and huge indices make only the used columns.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "ZDutil_transposer.h"

namespace {

using ValMatrix = TransposeMatrix<ElemValIdx, TableValIdx>;

TableValIdx Row(std::vector<std::pair<int, float>> elems) {
  TableValIdx row;
  for (auto& e : elems) row.append(ElemValIdx{e.first, e.second});
  return row;
}

std::vector<std::pair<int, float>> Product(const ValMatrix& m, std::vector<int> feats) {
  TableIdx x;
  for (int f : feats) x.append(ElemIdx{f});
  TableValIdx out;
  m.transpose_product_add(x, out);
  std::vector<std::pair<int, float>> got;
  for (const ElemValIdx& e : out) got.emplace_back(e.index, e.value);
  return got;
}

using Pairs = std::vector<std::pair<int, float>>;

TEST(TransposeLayoutTest, CopiesKeepWorkingAfterTheOriginalIsGone) {
  ValMatrix copy;
  {
    // Row 1 repeats feature 3: one entry holding 0.5 + 0.25.
    Mvec<TableValIdx> rows(3);
    rows[0] = Row({{1, 0.5f}, {3, 2.0f}});
    rows[1] = Row({{3, 0.5f}, {3, 0.25f}});
    rows[2] = Row({{0, 4.0f}});
    ValMatrix m;
    m.store(rows, false);
    ASSERT_EQ(m.ncolumns(), 4);
    EXPECT_EQ(m.column(2).size(), 0);
    EXPECT_EQ(m.column(3).size(), 2);
    copy = m;
    ValMatrix second(m);
    EXPECT_EQ(Product(second, {0, 3}), (Pairs{{0, 2.0f}, {1, 0.75f}, {2, 4.0f}}));
  }
  EXPECT_EQ(Product(copy, {0, 3}), (Pairs{{0, 2.0f}, {1, 0.75f}, {2, 4.0f}}));
  EXPECT_EQ(Product(copy, {1, 2}), (Pairs{{0, 0.5f}}));
}

TEST(TransposeLayoutTest, HugeIndicesMakeOnlyTheUsedColumns) {
  Mvec<TableValIdx> rows(2);
  rows[0] = Row({{5, 1.0f}, {2000000000, 2.0f}});
  rows[1] = Row({{2147483647, 0.5f}, {-4, 9.0f}});
  ValMatrix m;
  m.store(rows, false);
  ASSERT_EQ(m.ncolumns(), 3);
  ASSERT_EQ(m.remap.size(), 3);
  EXPECT_EQ(m.remap[0], 5);
  EXPECT_EQ(m.remap[1], 2000000000);
  EXPECT_EQ(m.remap[2], 2147483647);
  EXPECT_EQ(Product(m, {5, 2147483647}), (Pairs{{0, 1.0f}, {1, 0.5f}}));
  EXPECT_EQ(Product(m, {6, 2000000000}), (Pairs{{0, 2.0f}}));
  EXPECT_EQ(Product(m, {4}), Pairs{});
}

}  // namespace
