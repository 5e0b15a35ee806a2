// TableValIdx::mul against vectors with one entry per position (as a field's
// multipliers) and against gapped ones: entries without a partner become 0.
#include <gtest/gtest.h>

#include <utility>
#include <vector>

#include "ZDutil_sparse.h"

namespace {

TableValIdx Vec(std::vector<std::pair<int, float>> elems) {
  TableValIdx v;
  for (auto& e : elems) v.append(ElemValIdx{e.first, e.second});
  return v;
}

std::vector<std::pair<int, float>> Elems(const TableValIdx& v) {
  std::vector<std::pair<int, float>> out;
  for (const ElemValIdx& e : v) out.emplace_back(e.index, e.value);
  return out;
}

using Pairs = std::vector<std::pair<int, float>>;

TEST(SparseMulTest, PositionalAndGappedPartners) {
  TableValIdx dense = Vec({{0, 0.5f}, {1, 2.0f}, {2, 4.0f}, {3, 8.0f}, {4, 0.25f}});
  TableValIdx v = Vec({{1, 3.0f}, {3, 1.0f}, {4, 2.0f}, {6, 5.0f}});
  v.mul(dense, 2.0);  // 2 * 2 * 3, 2 * 8 * 1, 2 * 0.25 * 2; 6 has no partner
  EXPECT_EQ(Elems(v), (Pairs{{1, 12.0f}, {3, 16.0f}, {4, 1.0f}, {6, 0.0f}}));

  // Index 3 sits at position 1 and index 5 at position 2: found by the walk.
  TableValIdx gapped = Vec({{1, 2.0f}, {3, 3.0f}, {5, 0.5f}});
  TableValIdx w = Vec({{0, 1.0f}, {3, 1.0f}, {4, 1.0f}, {5, 4.0f}});
  w.mul(gapped, 1.0);
  EXPECT_EQ(Elems(w), (Pairs{{0, 0.0f}, {3, 3.0f}, {4, 0.0f}, {5, 2.0f}}));
}

}  // namespace
