#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdio>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

#include "ZDutil_sys.h"
#include "ZDutil_uhandler.h"

namespace {

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

TableValIdx dense(std::initializer_list<float> values) {
  TableValIdx v(false);
  int i = 0;
  for (float x : values) v.append(ElemValIdx{i++, x});
  return v;
}

std::vector<int> indices_of(const TableIdx& v) {
  std::vector<int> out;
  for (const ElemIdx& e : v) out.push_back(e.index);
  return out;
}

std::vector<std::pair<int, float>> elems_of(const TableValIdx& v) {
  std::vector<std::pair<int, float>> out;
  for (const ElemValIdx& e : v) out.emplace_back(e.index, e.value);
  return out;
}

using Elems = std::vector<std::pair<int, float>>;

// Collects what is written on a ZDEvent stream while it lives.
class Capture {
 public:
  explicit Capture(FILE*& stream) : stream_(stream), saved_(stream), file_(tmpfile()) {
    stream_ = file_;
  }
  ~Capture() {
    stream_ = saved_;
    fclose(file_);
  }
  std::string text() {
    fflush(file_);
    rewind(file_);
    std::string s;
    for (int c; (c = getc(file_)) != EOF;) s += static_cast<char>(c);
    return s;
  }

 private:
  FILE*& stream_;
  FILE* saved_;
  FILE* file_;
};

std::string write_file(const std::string& name, const std::string& content) {
  std::string path = ::testing::TempDir() + "sparse_" + name;
  FILE* f = fopen(path.c_str(), "wb");
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
  return path;
}

// ------------------------------------------------------------ canonical form

TEST(SortFeat, SortsRemovesRepeatsAndShrinks) {
  TableIdx v = idx({7, 3, 3, 12});
  v.sort_feat();
  EXPECT_EQ(indices_of(v), (std::vector<int>{3, 7, 12}));
  EXPECT_EQ(v.nalloc, 3);

  TableIdx sorted = idx({1, 1, 1, 4});
  sorted.sort_feat();
  EXPECT_EQ(indices_of(sorted), (std::vector<int>{1, 4}));
  EXPECT_EQ(sorted.nalloc, 2);

  // A borrowed vector is never reordered in place: it gets its own storage.
  TableIdx lender = idx({5, 2});
  TableIdx view;
  view.borrow(lender);
  view.sort_feat();
  EXPECT_FALSE(view.borrowed);
  EXPECT_EQ(indices_of(view), (std::vector<int>{2, 5}));
  EXPECT_EQ(indices_of(lender), (std::vector<int>{5, 2}));
}

TEST(SortFeatDeathTest, NegativeIndexIsADataError) {
  TableIdx v = idx({9, 2, -4});
  EXPECT_EXIT(v.sort_feat(), ::testing::ExitedWithCode(1),
              "TableValIdx::sort_feat: Negative index -4\nData Error: Please check your data!");
}

// ------------------------------------------------------------------- reading

class ReadTest : public ::testing::Test {
 protected:
  void open(const std::string& name, const std::string& content) {
    io_.force_open(write_file(name, content).c_str(), "r", false);
  }
  void TearDown() override { io_.clean_close(); }
  ZDIO io_;
  InputDataHandler handler_;
};

TEST_F(ReadTest, TextFormOfBinaryVectors) {
  open("lines.txt", " 3 17\n7 3 3 12\n\n\t5:0.25  0x10\t010 \n-0 +4\n");
  TableIdx v;
  ASSERT_TRUE(handler_.Read(io_, v, "lines.txt", 0));
  EXPECT_EQ(indices_of(v), (std::vector<int>{3, 17}));
  ASSERT_TRUE(handler_.Read(io_, v, "lines.txt", 1));
  EXPECT_EQ(indices_of(v), (std::vector<int>{3, 7, 12}));
  EXPECT_EQ(v.nalloc, 3);
  ASSERT_TRUE(handler_.Read(io_, v, "lines.txt", 2));
  EXPECT_EQ(indices_of(v), (std::vector<int>{0}));  // empty line
  ASSERT_TRUE(handler_.Read(io_, v, "lines.txt", 3));
  EXPECT_EQ(indices_of(v), (std::vector<int>{5, 8, 16}));
  ASSERT_TRUE(handler_.Read(io_, v, "lines.txt", 4));
  EXPECT_EQ(indices_of(v), (std::vector<int>{0, 4}));
  EXPECT_EQ(v.stump, nullptr);
  // End of file leaves the vector as it was.
  EXPECT_FALSE(handler_.Read(io_, v, "lines.txt", 5));
  EXPECT_EQ(indices_of(v), (std::vector<int>{0, 4}));
}

TEST_F(ReadTest, BadTokenWarnsTwiceAndKeepsWhatWasRead) {
  open("bad.txt", "4 2 abc 9\n");
  TableIdx v;
  Capture warnings(ZDEvent::warnfile);
  EXPECT_FALSE(handler_.Read(io_, v, "bad.txt", 0));
  EXPECT_EQ(warnings.text(),
            "Entry [abc] does not follow <index> syntax\n"
            "Cannot parse token [abc] starting with ASCII 97 at position 2 of line:\n"
            "4 2 abc 9\n\n");
  EXPECT_EQ(indices_of(v), (std::vector<int>{4, 2}));
}

TEST_F(ReadTest, BadTokenReportsItsFirstCharacterAsSignedChar) {
  open("bad8.txt", "\xe9t\n");
  TableIdx v;
  Capture warnings(ZDEvent::warnfile);
  EXPECT_FALSE(handler_.Read(io_, v, "bad8.txt", 0));
  EXPECT_NE(warnings.text().find("starting with ASCII -23 at position 0 of line:\n\xe9t\n\n"),
            std::string::npos);
}

TEST_F(ReadTest, StumpLinesKeepTheirOrderAndPointAtTheHandler) {
  handler_.datatype = FD_BSTUMP;
  open("stump.txt", "2 0 5\n");
  TableIdx v;
  ASSERT_TRUE(handler_.Read(io_, v, "stump.txt", 0));
  EXPECT_EQ(indices_of(v), (std::vector<int>{2, 0, 5}));
  EXPECT_EQ(v.nalloc, 3);
  EXPECT_EQ(v.stump, &handler_);
}

TEST_F(ReadTest, LineOfSeveralMegabytes) {
  std::string line;
  const int n = 600000;  // about 4 MB of text
  for (int i = n - 1; i >= 0; i--) line += " " + std::to_string(1000000 + i);
  open("long.txt", line + "\n1\n");
  TableIdx v;
  ASSERT_TRUE(handler_.Read(io_, v, "long.txt", 0));
  ASSERT_EQ(v.nitems, n);
  EXPECT_EQ(v[0].index, 1000000);
  EXPECT_EQ(v[n - 1].index, 1000000 + n - 1);
  ASSERT_TRUE(handler_.Read(io_, v, "long.txt", 1));
  EXPECT_EQ(indices_of(v), (std::vector<int>{1}));
}

TEST_F(ReadTest, GzipFile) {
  std::string path = ::testing::TempDir() + "sparse_lines.gz";
  gzFile gz = gzopen(path.c_str(), "wb");
  gzputs(gz, " 9 4\n 1\n");
  gzclose(gz);
  io_.force_open(path.c_str(), "r", true);
  TableIdx v;
  ASSERT_TRUE(handler_.Read(io_, v, "lines.gz", 0));
  EXPECT_EQ(indices_of(v), (std::vector<int>{4, 9}));
  ASSERT_TRUE(handler_.Read(io_, v, "lines.gz", 1));
  EXPECT_EQ(indices_of(v), (std::vector<int>{1}));
  EXPECT_FALSE(handler_.Read(io_, v, "lines.gz", 2));
}

TEST_F(ReadTest, RejectedDataAndIndices) {
  open("neg.txt", "5 1 -3\n");
  TableIdx v;
  EXPECT_EXIT(handler_.Read(io_, v, "neg.txt", 0), ::testing::ExitedWithCode(1),
              "TableValIdx::sort_feat: Negative index -3\nData Error: Please check your data!");
  for (int type : {FD_SPARSE, FD_CONTINUOUS}) {
    handler_.datatype = type;
    EXPECT_EXIT(handler_.Read(io_, v, "neg.txt", 0), ::testing::ExitedWithCode(1),
                "TableIdx::init: Only bsparse datatype supported by binary ZANDA\n"
                "Data Error: Please check your data!");
  }
}

TEST(UpdateStump, BuildsTablesOnce) {
  InputDataHandler h;
  Mvec<int> levels;
  for (int l : {3, 2, 5}) levels.append(l);
  Capture traces(ZDEvent::tracefile);
  h.update_stump(levels);
  ASSERT_EQ(h.offsets.nitems, 4);
  EXPECT_EQ(h.offsets[0], 0);
  EXPECT_EQ(h.offsets[1], 3);
  EXPECT_EQ(h.offsets[2], 5);
  EXPECT_EQ(h.offsets[3], 10);
  ASSERT_EQ(h.scales.nitems, 3);
  EXPECT_DOUBLE_EQ(h.scales[0], 0.5);
  EXPECT_DOUBLE_EQ(h.scales[1], 1.0);
  EXPECT_DOUBLE_EQ(h.scales[2], 0.25);
  EXPECT_EQ(h.ranges[2], 5);
  Mvec<int> other;
  other.append(7);
  h.update_stump(other);  // ranges already set
  Mvec<int> none;
  h.update_stump(none);
  EXPECT_EQ(h.ranges.nitems, 3);
  EXPECT_EQ(traces.text(),
            "New stump range: 3 2 5 \nUsing old stump range\nUsing old stump range\n");
}

// ------------------------------------------------------------- dot products

TEST(BinaryProducts, CommonIndicesAndOverlap) {
  TableIdx a = idx({1, 4, 9}), b = idx({4, 5, 9}), empty;
  EXPECT_EQ(a.dot_prod(b), 2.0);
  EXPECT_EQ(b.dot_prod(a), 2.0);
  EXPECT_TRUE(a.overlap(b));
  EXPECT_FALSE(a.overlap(idx({0, 2, 10})));
  EXPECT_FALSE(empty.overlap(a));
  EXPECT_FALSE(a.overlap(empty));
  EXPECT_EQ(empty.dot_prod(a), 0.0);
}

TEST(StumpProducts, MinimumOrScaledDistance) {
  StumpData plain;
  TableIdx a = idx({2, 0}), b = idx({1, 3});
  a.stump = b.stump = &plain;
  EXPECT_EQ(a.dot_prod(b), 1.0);  // min(2,1) + min(0,3)

  InputDataHandler h;
  Mvec<int> levels;
  levels.append(3);
  levels.append(4);
  ZDEvent::verbose = 0;
  h.update_stump(levels);
  ZDEvent::verbose = 1;
  a.stump = b.stump = &h;
  // 1/2 * (3 - 1 - 2*|2-1|) + 1/3 * (4 - 1 - 2*|0-3|)
  EXPECT_DOUBLE_EQ(a.dot_prod(b), 0.5 * 0.0 + (1.0 / 3.0) * -3.0);
  // The shorter vector decides the positions compared.
  TableIdx one = idx({2});
  one.stump = &h;
  EXPECT_DOUBLE_EQ(one.dot_prod(b), 0.0);

  // A dense weight vector over the one-hot positions 0..6: offsets 0 and 3.
  TableValIdx w = dense({10, 11, 12, 13, 14, 15, 16});
  EXPECT_DOUBLE_EQ(w.dot_prod(a), 12.0 + 13.0);
  TableIdx beyond = idx({1, 4});  // 3 + 4 = 7 is past the weights
  beyond.stump = &h;
  EXPECT_DOUBLE_EQ(w.dot_prod(beyond), 11.0);
}

TEST(StumpProductsDeathTest, MixedFormsAreRefused) {
  StumpData s;
  TableIdx st = idx({1}), plain = idx({1});
  st.stump = &s;
  EXPECT_EXIT(st.dot_prod(plain), ::testing::ExitedWithCode(1),
              "TableValIdx::dot_prod: stump-nostump dotprod not implemented\n"
              "Please verify first your input model and your data");
  TableValIdx sparse_w = val({{1, 1.0f}});
  EXPECT_EXIT(sparse_w.dot_prod(st), ::testing::ExitedWithCode(1),
              "TableValIdx::dot_prod: product sparse/stump not implemented yet\n"
              "Please verify first your input model and your data");
}

TEST(ValuedProducts, SparseDenseAndTableVal) {
  TableValIdx d = dense({0, 1, 2, 3, 4, 5, 6, 7, 8, 9});
  EXPECT_DOUBLE_EQ(d.dot_prod(idx({2, 5, 12})), 7.0);
  TableValIdx s = val({{1, 0.5f}, {4, 2.0f}, {9, -1.0f}});
  EXPECT_DOUBLE_EQ(s.dot_prod(idx({0, 4, 9, 11})), 1.0);
  EXPECT_DOUBLE_EQ(s.dot_prod(TableIdx()), 0.0);
  TableVal t;
  for (double x : {1.0, 2.0, 3.0, 4.0, 5.0}) t.append(x);
  EXPECT_DOUBLE_EQ(s.dot_prod(t), 0.5 * 2.0 + 2.0 * 5.0);  // index 9 ends the walk
  // Products accumulate in double: 2^24 + 1 + 1 is not representable in float.
  TableValIdx big = val({{0, 16777216.0f}, {1, 1.0f}, {2, 1.0f}});
  EXPECT_EQ(big.dot_prod(idx({0, 1, 2})), 16777218.0);
}

// ------------------------------------------------------------------ merges

TEST(Merge, ThreeFormsOfTheWorkedExample) {
  TableValIdx a = val({{1, 1.0f}, {5, 2.0f}}), b = val({{5, 1.0f}, {7, 3.0f}});
  const Elems expected = {{1, 1.0f}, {5, 2.5f}, {7, 1.5f}};

  TableValIdx inplace = a;
  inplace.merge(b, 0.5);
  EXPECT_EQ(elems_of(inplace), expected);

  TableValIdx out;
  out.merge(a, b, 0.5);
  EXPECT_EQ(elems_of(out), expected);

  TableValIdx bin;
  bin.merge(a, idx({5, 7}), 0.5);
  EXPECT_EQ(elems_of(bin), (Elems{{1, 1.0f}, {5, 2.5f}, {7, 0.5f}}));

  TableValIdx self = a;
  self.merge(self, 2.0);
  EXPECT_EQ(elems_of(self), (Elems{{1, 3.0f}, {5, 6.0f}}));
}

TEST(Merge, EmptyOperandsAndHeaders) {
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
  copy.merge(src, TableValIdx(), 7.0);  // b empty: copy of a
  EXPECT_EQ(copy.mult, 0.5f);
  EXPECT_TRUE(copy.binary);
  EXPECT_EQ(elems_of(copy), (Elems{{2, 4.0f}}));

  TableValIdx reset(false, true);
  reset.mult = 9.0f;
  reset.merge(TableValIdx(), val({{2, 4.0f}}), 2.0);  // a empty: fresh sparse vector of w * b
  EXPECT_TRUE(reset.sparse);
  EXPECT_FALSE(reset.binary);
  EXPECT_EQ(reset.mult, 1.0f);
  EXPECT_EQ(reset.sqnorm, 1.0f);
  EXPECT_EQ(elems_of(reset), (Elems{{2, 8.0f}}));

  TableValIdx unchanged = val({{1, 1.0f}});
  unchanged.merge(TableValIdx(), 3.0);
  EXPECT_EQ(elems_of(unchanged), (Elems{{1, 1.0f}}));
}

TEST(Merge, NewValuesAreFormedInDouble) {
  // In float, w rounds to 1 and 1 + 2^-24 ties down to 1; in double the sum
  // lies just above the tie and rounds up.
  const double w = 1.0 + 0x1p-28;
  TableValIdx a = val({{0, 1.0f}}), b = val({{0, 0x1p-24f}});
  TableValIdx out;
  out.merge(a, b, w);
  EXPECT_EQ(out[0].value, 1.0f + 0x1p-23f);
  a.incr(b, w);
  EXPECT_EQ(a[0].value, 1.0f + 0x1p-23f);
}

// ------------------------------------------------------------- incr and mul

TEST(Incr, AllFourCombinations) {
  TableValIdx dd = dense({1, 2});
  dd.binary = true;
  dd.incr(dense({1, 1, 1}), 2.0);
  EXPECT_FALSE(dd.binary);
  EXPECT_FALSE(dd.sparse);
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

  TableValIdx empty;
  empty.incr(val({{3, 2.0f}}), 1.0);
  EXPECT_EQ(elems_of(empty), (Elems{{3, 2.0f}}));
}

TEST(Mul, CommonIndicesOnly) {
  TableValIdx v = val({{1, 2.0f}, {3, 2.0f}, {8, 2.0f}});
  v.mul(val({{3, 4.0f}}), 1.0);
  EXPECT_EQ(elems_of(v), (Elems{{1, 0.0f}, {3, 8.0f}, {8, 0.0f}}));
  v.mul(val({{3, 0.5f}, {8, 1.0f}}), 3.0);
  EXPECT_EQ(elems_of(v), (Elems{{1, 0.0f}, {3, 12.0f}, {8, 0.0f}}));
  v.mul(TableValIdx(), 1.0);
  EXPECT_EQ(v.nitems, 0);
}

TEST(MulDeathTest, DenseOperandIsRefused) {
  TableValIdx s = val({{0, 1.0f}}), d = dense({1});
  EXPECT_EXIT(s.mul(d, 1.0), ::testing::ExitedWithCode(1),
              "TableValIdx::mul: only implemented for sparse so far\nMemory Error");
  EXPECT_EXIT(d.mul(s, 1.0), ::testing::ExitedWithCode(1),
              "TableValIdx::mul: only implemented for sparse so far\nMemory Error");
}

// --------------------------------------------------------------- copy, init

TEST(Copy, TakesHeaderAndIndices) {
  TableValIdx v = val({{2, 0.5f}, {7, 3.0f}});
  v.mult = 2.0f;
  v.sqnorm = 4.0f;
  TableIdx x = idx({1, 2, 3, 4});
  x.copy(v);
  EXPECT_EQ(indices_of(x), (std::vector<int>{2, 7}));
  EXPECT_EQ(x.mult, 2.0f);
  EXPECT_EQ(x.sqnorm, 4.0f);
}

TEST(CopyDeathTest, StumpTargetIsRefused) {
  StumpData s;
  TableIdx x;
  x.stump = &s;
  EXPECT_EXIT(x.copy(TableValIdx()), ::testing::ExitedWithCode(1),
              "TableIdx::copy: not implemented yet\nPlease verify first");
}

}  // namespace
