// Sparse vectors: canonical form, the line reader, stump tables, dot
// products, merges and sums.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDutil_event.h"
#include "ZDutil_sys.h"
#include "ZDutil_uhandler.h"
#include "vectors.h"

namespace {

using namespace zdtest;  // the vector builders of vectors.h

TableValIdx dense(std::initializer_list<float> values) {
  TableValIdx v(false);
  for (float x : values) v.append(ElemValIdx{v.nitems, x});
  return v;
}

Mvec<int> Levels(std::initializer_list<int> levels) {
  Mvec<int> v;
  for (int l : levels) v.append(l);
  return v;
}

TEST(Read, LinesOfIndicesAndStumpBins) {
  InputDataHandler handler;
  ZDIO io;
  io.open_string(" 3 17\n7 3 3 12\n\n\t5:0.25  0x10\t010 \n-0 +4\n4 2 abc 9\n");
  TableIdx v;
  for (const Ints& expected : {Ints{3, 17}, Ints{3, 7, 12}, Ints{0}, Ints{5, 8, 16}, Ints{0, 4}}) {
    ASSERT_TRUE(handler.Read(io, v, "lines", 0));
    EXPECT_EQ(indices_of(v), expected);  // ascending, without repeats
  }
  const std::string warning = Captured(ZDEvent::warnfile, [&] { handler.Read(io, v, "lines", 5); });
  EXPECT_EQ(indices_of(v), (Ints{4, 2}));  // a bad token: what was read before it stays
  EXPECT_NE(warning.find("Entry [abc] does not follow <index> syntax"), std::string::npos);
  EXPECT_FALSE(handler.Read(io, v, "lines", 6));
  io.clean_close();

  handler.datatype = FD_BSTUMP;
  io.open_string("2 0 5\n");
  ASSERT_TRUE(handler.Read(io, v, "stump", 0));
  EXPECT_EQ(indices_of(v), (Ints{2, 0, 5}));  // bins keep their order
  io.clean_close();
}

// Offsets are the running sums of the levels, scales 1 / (levels - 1); at
// least one level per position and at most 2^20 in all.
TEST(Stump, TablesAndTheRangeOfLevels) {
  InputDataHandler h;
  Captured(ZDEvent::tracefile, [&] {
    h.update_stump(Levels({3, 2, 5}));
    h.update_stump(Levels({7}));  // ranges already set
  });
  EXPECT_EQ(std::vector<int>(h.offsets.begin(), h.offsets.end()), (Ints{0, 3, 5, 10}));
  EXPECT_EQ(std::vector<double>(h.scales.begin(), h.scales.end()),
            (std::vector<double>{0.5, 1.0, 0.25}));
  InputDataHandler limit;
  limit.update_stump(Levels({1 << 19, (1 << 19) - 1, 1}));
  EXPECT_EQ(limit.offsets[3], 1 << 20);
  for (const Mvec<int>& bad : {Levels({1 << 20, 1}), Levels({2, 0})}) {
    try {
      InputDataHandler().update_stump(bad);
      ADD_FAILURE() << bad[1];
    } catch (const ZDError& e) {
      EXPECT_EQ(e.category(), ZDError::Category::data_input);
      EXPECT_EQ(e.label(), "InputDataHandler::update_stump");
    }
  }
}

TEST(DotProducts, BinaryStumpAndValued) {
  TableIdx a = idx({1, 4, 9}), b = idx({4, 5, 9});
  EXPECT_EQ(a.dot_prod(b), 2.0);
  EXPECT_TRUE(a.overlap(b));
  EXPECT_FALSE(a.overlap(idx({0, 2, 10})));
  InputDataHandler h;
  Captured(ZDEvent::tracefile, [&] { h.update_stump(Levels({3, 4})); });
  TableIdx s = idx({2, 0}), t = idx({1, 3});
  s.stump = t.stump = &h;
  // 1/2 * (3 - 1 - 2*|2-1|) + 1/3 * (4 - 1 - 2*|0-3|)
  EXPECT_DOUBLE_EQ(s.dot_prod(t), (1.0 / 3.0) * -3.0);
  // Dense weights over the one-hot positions 0..6 (offsets 0 and 3).
  EXPECT_DOUBLE_EQ(dense({10, 11, 12, 13, 14, 15, 16}).dot_prod(s), 12.0 + 13.0);
  EXPECT_DOUBLE_EQ(dense({0, 1, 2, 3, 4, 5, 6}).dot_prod(idx({2, 5, 12})), 7.0);
  EXPECT_DOUBLE_EQ(val({{1, 0.5f}, {4, 2.0f}, {9, -1.0f}}).dot_prod(idx({0, 4, 9, 11})), 1.0);
  // Sums are formed in double: 2^24 + 1 + 1 is not a float.
  EXPECT_EQ(val({{0, 16777216.0f}, {1, 1.0f}, {2, 1.0f}}).dot_prod(idx({0, 1, 2})), 16777218.0);
}

TEST(Sums, MergeAndIncrRoundOnceFromDouble) {
  TableValIdx a = val({{1, 1.0f}, {5, 2.0f}}), b = val({{5, 1.0f}, {7, 3.0f}}), out;
  out.merge(a, b, 0.5);
  EXPECT_EQ(elems_of(out), (Elems{{1, 1.0f}, {5, 2.5f}, {7, 1.5f}}));
  TableValIdx bin;
  bin.merge(a, idx({5, 7}), 0.5);  // binary operands count as 1
  EXPECT_EQ(elems_of(bin), (Elems{{1, 1.0f}, {5, 2.5f}, {7, 0.5f}}));
  TableValIdx ss = val({{2, 1.0f}, {6, 1.0f}});
  ss.incr(val({{0, 1.0f}, {2, 1.0f}, {4, 2.0f}, {9, 3.0f}}), -1.0);
  EXPECT_EQ(elems_of(ss), (Elems{{0, -1.0f}, {2, 0.0f}, {4, -2.0f}, {6, 1.0f}, {9, -3.0f}}));
  // In float, w rounds to 1 and 1 + 2^-24 ties down to 1; in double the sum
  // lies just above the tie and rounds up.
  const double w = 1.0 + 0x1p-28;
  TableValIdx one = val({{0, 1.0f}}), tiny = val({{0, 0x1p-24f}});
  out.merge(one, tiny, w);
  EXPECT_EQ(out[0].value, 1.0f + 0x1p-23f);
  one.incr(tiny, w);
  EXPECT_EQ(one[0].value, 1.0f + 0x1p-23f);
  // Indices out of order are a data error, never a write out of bounds.
  TableValIdx sum = val({{3, 1.0f}});
  try {
    sum.incr(val({{9, 1.0f}, {2, 1.0f}, {5, 1.0f}}), 1.0);
    ADD_FAILURE();
  } catch (const ZDError& e) {
    EXPECT_EQ(e.category(), ZDError::Category::data_input);
    EXPECT_EQ(e.message(), "cannot add vectors whose indices are not in increasing order");
  }
}

}  // namespace
