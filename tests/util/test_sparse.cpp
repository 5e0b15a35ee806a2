// Sparse vectors: canonical form, the line reader, dot products and merges.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "../test_support.h"
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

TEST(SortFeat, SortsRemovesRepeatsShrinksAndNeverReordersABorrowedVector) {
  TableIdx v = idx({7, 3, 3, 12});
  v.sort_feat();
  EXPECT_EQ(indices_of(v), (Ints{3, 7, 12}));
  TableIdx lender = idx({5, 2});
  TableIdx view;
  view.borrow(lender);
  view.sort_feat();
  EXPECT_FALSE(view.borrowed);
  EXPECT_EQ(indices_of(view), (Ints{2, 5}));
  EXPECT_EQ(indices_of(lender), (Ints{5, 2}));
}

TEST(Read, LinesOfIndicesAndStumpBins) {
  const std::string path = zdtest::MakeTempDir() + "lines.txt";
  std::string big;  // over the 1 MiB after which the line buffer is given back
  for (int i = 149999; i >= 0; i--) big += " " + std::to_string(1000000 + i);
  zdtest::WriteFile(path, " 3 17\n7 3 3 12\n\n\t5:0.25  0x10\t010 \n-0 +4\n" + big + "\n1\n");
  InputDataHandler handler;
  ZDIO io;
  io.force_open(path.c_str(), "r", false);
  TableIdx v;
  for (const Ints& expected : {Ints{3, 17}, Ints{3, 7, 12}, Ints{0}, Ints{5, 8, 16}, Ints{0, 4}}) {
    ASSERT_TRUE(handler.Read(io, v, "lines.txt", 0));
    EXPECT_EQ(indices_of(v), expected);
  }
  EXPECT_EQ(v.stump, nullptr);
  ASSERT_TRUE(handler.Read(io, v, "lines.txt", 5));
  ASSERT_EQ(v.nitems, 150000);
  EXPECT_EQ(v[0].index, 1000000);
  EXPECT_EQ(v[149999].index, 1149999);
  ASSERT_TRUE(handler.Read(io, v, "lines.txt", 6));
  EXPECT_EQ(indices_of(v), Ints{1});
  EXPECT_FALSE(handler.Read(io, v, "lines.txt", 7));  // end of file leaves v as it was
  EXPECT_EQ(indices_of(v), Ints{1});
  io.clean_close();
  std::remove(path.c_str());

  handler.datatype = FD_BSTUMP;
  io.open_string("2 0 5\n");
  ASSERT_TRUE(handler.Read(io, v, "stump", 0));
  EXPECT_EQ(indices_of(v), (Ints{2, 0, 5}));  // bins keep their order
  EXPECT_EQ(v.stump, &handler);
  io.clean_close();
}

TEST(Read, BadTokenWarnsAndKeepsWhatWasRead) {
  const struct {
    std::string line;
    Ints kept;
    std::string warning;
  } cases[] = {
      {"4 2 abc 9\n",
       {4, 2},
       "Entry [abc] does not follow <index> syntax\nCannot parse token [abc] starting with ASCII "
       "97 at position 2 of line:\n4 2 abc 9\n\n"},
      // The first character is reported as a signed char.
      {"\xe9t\n",
       {},
       "Entry [\xe9t] does not follow <index> syntax\nCannot parse token [\xe9t] starting with "
       "ASCII -23 at position 0 of line:\n\xe9t\n\n"},
  };
  for (const auto& c : cases) {
    InputDataHandler handler;
    ZDIO io;
    io.open_string(c.line.c_str());
    TableIdx v;
    std::string warnings =
        zdtest::Captured(ZDEvent::warnfile, [&] { EXPECT_FALSE(handler.Read(io, v, "bad", 0)); });
    io.clean_close();
    EXPECT_EQ(warnings, c.warning);
    EXPECT_EQ(indices_of(v), c.kept);
  }
}

TEST(UpdateStump, BuildsTablesOnce) {
  InputDataHandler h;
  Mvec<int> levels, other, none;
  for (int l : {3, 2, 5}) levels.append(l);
  other.append(7);
  std::string traces = zdtest::Captured(ZDEvent::tracefile, [&] {
    h.update_stump(levels);
    h.update_stump(other);  // ranges already set
    h.update_stump(none);
  });
  EXPECT_EQ(traces, "New stump range: 3 2 5 \nUsing old stump range\nUsing old stump range\n");
  EXPECT_EQ(std::vector<int>(h.offsets.begin(), h.offsets.end()), (Ints{0, 3, 5, 10}));
  EXPECT_EQ(std::vector<double>(h.scales.begin(), h.scales.end()),
            (std::vector<double>{0.5, 1.0, 0.25}));
  EXPECT_EQ(h.ranges.nitems, 3);
}

TEST(DotProducts, BinaryStumpAndValued) {
  TableIdx a = idx({1, 4, 9}), b = idx({4, 5, 9}), empty;
  EXPECT_EQ(a.dot_prod(b), 2.0);
  EXPECT_TRUE(a.overlap(b));
  EXPECT_FALSE(a.overlap(idx({0, 2, 10})));
  EXPECT_FALSE(empty.overlap(a));
  EXPECT_FALSE(a.overlap(empty));

  StumpData plain;
  TableIdx s = idx({2, 0}), t = idx({1, 3});
  s.stump = t.stump = &plain;
  EXPECT_EQ(s.dot_prod(t), 1.0);  // min(2,1) + min(0,3)
  InputDataHandler h;
  Mvec<int> levels;
  levels.append(3);
  levels.append(4);
  zdtest::Captured(ZDEvent::tracefile, [&] { h.update_stump(levels); });
  s.stump = t.stump = &h;
  // 1/2 * (3 - 1 - 2*|2-1|) + 1/3 * (4 - 1 - 2*|0-3|)
  EXPECT_DOUBLE_EQ(s.dot_prod(t), 0.5 * 0.0 + (1.0 / 3.0) * -3.0);
  TableIdx one = idx({2});  // the shorter vector decides the positions compared
  one.stump = &h;
  EXPECT_DOUBLE_EQ(one.dot_prod(t), 0.0);
  // Dense weights over the one-hot positions 0..6 (offsets 0 and 3).
  TableValIdx w = dense({10, 11, 12, 13, 14, 15, 16});
  EXPECT_DOUBLE_EQ(w.dot_prod(s), 12.0 + 13.0);
  TableIdx beyond = idx({1, 4});  // 3 + 4 = 7 is past the weights
  beyond.stump = &h;
  EXPECT_DOUBLE_EQ(w.dot_prod(beyond), 11.0);

  TableValIdx d = dense({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_DOUBLE_EQ(d.dot_prod(idx({2, 5, 12})), 7.0);
  TableValIdx sp = val({{1, 0.5f}, {4, 2.0f}, {9, -1.0f}});
  EXPECT_DOUBLE_EQ(sp.dot_prod(idx({0, 4, 9, 11})), 1.0);
  TableVal tv;
  for (double x : {1.0, 2.0, 3.0, 4.0, 5.0}) tv.append(x);
  EXPECT_DOUBLE_EQ(sp.dot_prod(tv), 0.5 * 2.0 + 2.0 * 5.0);  // index 9 ends the walk
  // Sums are formed in double: 2^24 + 1 + 1 is not a float.
  TableValIdx big = val({{0, 16777216.0f}, {1, 1.0f}, {2, 1.0f}});
  EXPECT_EQ(big.dot_prod(idx({0, 1, 2})), 16777218.0);
}

TEST(Merge, FormsHeadersAndDoubleRounding) {
  TableValIdx a = val({{1, 1.0f}, {5, 2.0f}}), b = val({{5, 1.0f}, {7, 3.0f}});
  const Elems expected = {{1, 1.0f}, {5, 2.5f}, {7, 1.5f}};
  TableValIdx inplace = a, out, bin, self = a;
  inplace.merge(b, 0.5);
  EXPECT_EQ(elems_of(inplace), expected);
  out.merge(a, b, 0.5);
  EXPECT_EQ(elems_of(out), expected);
  bin.merge(a, idx({5, 7}), 0.5);  // binary operands count as 1
  EXPECT_EQ(elems_of(bin), (Elems{{1, 1.0f}, {5, 2.5f}, {7, 0.5f}}));
  self.merge(self, 2.0);
  EXPECT_EQ(elems_of(self), (Elems{{1, 3.0f}, {5, 6.0f}}));

  TableValIdx src = val({{2, 4.0f}});
  src.mult = 0.5f;
  src.sqnorm = 3.0f;
  src.binary = true;
  TableValIdx empty;
  empty.merge(src, 0.25);  // takes header, flags and w * values
  EXPECT_EQ(empty.mult, 0.5f);
  EXPECT_EQ(empty.sqnorm, 3.0f);
  EXPECT_TRUE(empty.binary);
  EXPECT_EQ(elems_of(empty), (Elems{{2, 1.0f}}));
  TableValIdx copy;
  copy.merge(src, TableValIdx(), 7.0);  // b empty: a copy of a
  EXPECT_EQ(copy.mult, 0.5f);
  EXPECT_EQ(elems_of(copy), (Elems{{2, 4.0f}}));
  TableValIdx reset(false, true);
  reset.mult = 9.0f;
  reset.merge(TableValIdx(), val({{2, 4.0f}}), 2.0);  // a empty: a fresh sparse w * b
  EXPECT_TRUE(reset.sparse);
  EXPECT_FALSE(reset.binary);
  EXPECT_EQ(reset.mult, 1.0f);
  EXPECT_EQ(reset.sqnorm, 1.0f);
  EXPECT_EQ(elems_of(reset), (Elems{{2, 8.0f}}));
  TableValIdx unchanged = val({{1, 1.0f}});
  unchanged.merge(TableValIdx(), 3.0);
  EXPECT_EQ(elems_of(unchanged), (Elems{{1, 1.0f}}));

  // In float, w rounds to 1 and 1 + 2^-24 ties down to 1; in double the sum
  // lies just above the tie and rounds up.
  const double w = 1.0 + 0x1p-28;
  TableValIdx one = val({{0, 1.0f}}), tiny = val({{0, 0x1p-24f}});
  out.merge(one, tiny, w);
  EXPECT_EQ(out[0].value, 1.0f + 0x1p-23f);
  one.incr(tiny, w);
  EXPECT_EQ(one[0].value, 1.0f + 0x1p-23f);
}

TEST(Incr, AllFourCombinationsAndMul) {
  TableValIdx dd = dense({1, 2});
  dd.binary = true;
  dd.incr(dense({1, 1, 1}), 2.0);
  EXPECT_FALSE(dd.binary);
  EXPECT_EQ(elems_of(dd), (Elems{{0, 3.0f}, {1, 4.0f}, {2, 2.0f}}));
  TableValIdx ds = dense({1});
  TableValIdx sb = val({{0, 1.0f}, {3, 1.0f}});
  sb.binary = true;
  ds.incr(sb, 0.5);
  EXPECT_EQ(elems_of(ds), (Elems{{0, 1.5f}, {1, 0.0f}, {2, 0.0f}, {3, 0.5f}}));
  TableValIdx ss = val({{2, 1.0f}, {6, 1.0f}});
  ss.incr(val({{0, 1.0f}, {2, 1.0f}, {4, 2.0f}, {9, 3.0f}}), -1.0);
  EXPECT_TRUE(ss.sparse);
  EXPECT_EQ(elems_of(ss), (Elems{{0, -1.0f}, {2, 0.0f}, {4, -2.0f}, {6, 1.0f}, {9, -3.0f}}));
  TableValIdx sd = val({{1, 5.0f}, {4, 1.0f}});
  TableValIdx d = dense({1, 1, 1});
  d.mult = 0.25f;
  sd.incr(d, 2.0);
  EXPECT_FALSE(sd.sparse);
  EXPECT_EQ(sd.mult, 0.25f);
  EXPECT_EQ(elems_of(sd), (Elems{{0, 2.0f}, {1, 7.0f}, {2, 2.0f}, {3, 0.0f}, {4, 1.0f}}));

  TableValIdx m = val({{1, 2.0f}, {3, 2.0f}, {8, 2.0f}});
  m.mul(val({{3, 4.0f}}), 1.0);
  EXPECT_EQ(elems_of(m), (Elems{{1, 0.0f}, {3, 8.0f}, {8, 0.0f}}));
  m.mul(val({{3, 0.5f}, {8, 1.0f}}), 3.0);
  EXPECT_EQ(elems_of(m), (Elems{{1, 0.0f}, {3, 12.0f}, {8, 0.0f}}));
  m.mul(TableValIdx(), 1.0);
  EXPECT_EQ(m.nitems, 0);

  TableValIdx header = val({{2, 0.5f}, {7, 3.0f}});
  header.mult = 2.0f;
  header.sqnorm = 4.0f;
  TableIdx x = idx({1, 2, 3, 4});
  x.copy(header);
  EXPECT_EQ(indices_of(x), (Ints{2, 7}));
  EXPECT_EQ(x.mult, 2.0f);
  EXPECT_EQ(x.sqnorm, 4.0f);
}

TEST(SparseDeathTest, RefusedOperandsAndData) {
  const std::string memory = "\nMemory Error: Please send error message to [^\n]+\n$";
  StumpData s;
  TableIdx st = idx({1});
  st.stump = &s;
  TableValIdx sparse_w = val({{1, 1.0f}}), d = dense({1});
  ZDIO io;
  TableIdx v;
  InputDataHandler handler;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] {
         idx({9, 2, -4}).sort_feat();
       },
       zdtest::Exact(zdtest::DataError("TableValIdx::sort_feat", "Negative index -4"))},
      {[&] { st.dot_prod(idx({1})); },
       zdtest::Exact(
           zdtest::UserError("TableValIdx::dot_prod", "stump-nostump dotprod not implemented"))},
      {[&] { sparse_w.dot_prod(st); },
       zdtest::Exact(
           zdtest::UserError("TableValIdx::dot_prod", "product sparse/stump not implemented yet"))},
      {[&] { sparse_w.mul(d, 1.0); },
       "^TableValIdx::mul: only implemented for sparse so far" + memory},
      {[&] { d.mul(sparse_w, 1.0); },
       "^TableValIdx::mul: only implemented for sparse so far" + memory},
      {[&] { st.copy(TableValIdx()); },
       zdtest::Exact(zdtest::UserError("TableIdx::copy", "not implemented yet"))},
      {[&] {
         handler.datatype = FD_SPARSE;
         io.open_string("5 1\n");
         handler.Read(io, v, "sparse", 0);
       },
       zdtest::Exact(
           zdtest::DataError("TableIdx::init", "Only bsparse datatype supported by binary ZANDA"))},
      {[&] {
         handler.datatype = FD_CONTINUOUS;
         io.open_string("5 1\n");
         handler.Read(io, v, "continuous", 0);
       },
       zdtest::Exact(
           zdtest::DataError("TableIdx::init", "Only bsparse datatype supported by binary ZANDA"))},
  };
  for (const auto& c : cases) EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), c.second);
}

}  // namespace
