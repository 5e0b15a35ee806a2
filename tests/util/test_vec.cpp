#include <gtest/gtest.h>

#include "ZDutil_vec.h"

namespace {

// Counts live instances, to check that slots are constructed once and
// relocated rather than copied.
struct Tracked {
  static int live;
  Mvec<int> inner;
  Tracked() { live++; }
  Tracked(const Tracked& o) : inner(o.inner) { live++; }
  Tracked& operator=(const Tracked& o) = default;
  ~Tracked() { live--; }
};
int Tracked::live = 0;

TEST(Mvec, AppendGrowsToTwiceCountPlus256) {
  Mvec<int> v;
  EXPECT_EQ(v.nalloc, 0);
  EXPECT_EQ(v.data, nullptr);
  v.append(1);
  EXPECT_EQ(v.nalloc, 256);
  for (int i = 1; i < 256; i++) v.append(i + 1);
  EXPECT_EQ(v.nalloc, 256);
  v.append(257);
  EXPECT_EQ(v.nalloc, 768);
  EXPECT_EQ(v.nitems, 257);
  for (int i = 0; i < 257; i++) ASSERT_EQ(v[i], i + 1);
}

TEST(Mvec, AppendOfOwnElementSurvivesGrowth) {
  Mvec<Mvec<int>> v;
  v.set_nitems(1);
  v[0].append(42);
  v.append(v[0]);  // full: the source must not dangle after the growth
  ASSERT_EQ(v.nitems, 2);
  EXPECT_EQ(v[1][0], 42);
}

TEST(Mvec, SetNitemsGrowsExactlyAndShrinkKeepsStorage) {
  Mvec<int> v;
  v.set_nitems(10);
  EXPECT_EQ(v.nalloc, 10);
  v.set_nitems(0);
  EXPECT_EQ(v.nalloc, 10);
  EXPECT_NE(v.data, nullptr);
  v.resize(5);
  EXPECT_EQ(v.nalloc, 10);
  v.resize(12);
  EXPECT_EQ(v.nalloc, 12);
  EXPECT_EQ(v.nitems, 0);
}

TEST(Mvec, SlotsAreReusedWithTheirBuffers) {
  Tracked::live = 0;
  {
    Mvec<Tracked> v;
    v.set_nitems(3);
    EXPECT_EQ(Tracked::live, 3);
    v[2].inner.append(7);
    int* buffer = v[2].inner.data;
    v.set_nitems(0);
    v.set_nitems(3);  // no construction: the old slot comes back
    EXPECT_EQ(Tracked::live, 3);
    EXPECT_EQ(v[2].inner.data, buffer);
    EXPECT_EQ(v[2].inner[0], 7);
    v.set_nitems(5);  // relocation by byte copy: the buffer moves with its slot
    EXPECT_EQ(Tracked::live, 5);
    EXPECT_EQ(v[2].inner.data, buffer);
  }
  EXPECT_EQ(Tracked::live, 0);
}

TEST(Mvec, CopyCompressRemoveTakeOver) {
  Mvec<int> a;
  for (int i = 0; i < 5; i++) a.append(i * 10);
  Mvec<int> b(a);
  EXPECT_EQ(b.nitems, 5);
  EXPECT_EQ(b.nalloc, 5);
  b.remove(1);
  ASSERT_EQ(b.nitems, 4);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[1], 20);
  EXPECT_EQ(b[3], 40);
  a.compress();
  EXPECT_EQ(a.nalloc, 5);
  Mvec<int> c;
  c.take_over(a);
  EXPECT_EQ(a.nalloc, 0);
  EXPECT_EQ(a.data, nullptr);
  EXPECT_EQ(c.nitems, 5);
  EXPECT_EQ(c[4], 40);
  Mvec<int> sized(4);
  EXPECT_EQ(sized.nitems, 4);
  EXPECT_EQ(sized.nalloc, 4);
}

TEST(Mvec, RemoveOutOfRangeIsImplementationError) {
  Mvec<int> v;
  v.append(1);
  EXPECT_EXIT(v.remove(1), testing::ExitedWithCode(1),
              "^Mvec\\[\\]: trying to remove element out of range 1>1\nMemory Error");
}

TEST(Mvec, BorrowedStorageIsNeverGrownOrFreed) {
  double outs[3] = {1, 2, 3};
  {
    Mvec<double> view;
    view.borrow(outs, 3);
    EXPECT_TRUE(view.borrowed);
    view.set_nitems(2);
    view.set_nitems(3);
    view[0] = 9;
    Mvec<double> own(view);
    own.compress();
    EXPECT_FALSE(own.borrowed);
    view.compress();  // count 3 == capacity 3: stays a view
    EXPECT_TRUE(view.borrowed);
    view.set_nitems(1);
    view.compress();  // gets its own copy
    EXPECT_FALSE(view.borrowed);
    EXPECT_NE(view.data, outs);
    EXPECT_EQ(view[0], 9);
  }
  EXPECT_EQ(outs[0], 9);  // the view never freed the caller's array
  EXPECT_DEATH(
      {
        Mvec<double> view;
        view.borrow(outs, 3);
        view.set_nitems(4);
      },
      "^Mvec::set_nitems: Cannot expand borrowed data\n$");
  EXPECT_DEATH(
      {
        Mvec<double> view;
        view.borrow(outs, 3);
        view.append(1.0);
      },
      "Cannot expand borrowed data");
}

TEST(StringT, InitConcatAndPlus) {
  string_t s;
  s.init(nullptr);
  EXPECT_EQ(s.nitems, 0);
  ASSERT_NE(s.data, nullptr);
  EXPECT_EQ(s.data[0], 0);
  s.concat(nullptr);
  EXPECT_EQ(s.nitems, 0);
  s.init("ab");
  string_t cd("cd");
  string_t r = s + cd;
  EXPECT_STREQ(r.c_str(), "abcd");
  EXPECT_EQ(r.nitems, 4);
  EXPECT_EQ(r.nalloc, 5);
  s.init('x');
  EXPECT_EQ(s.nitems, 1);
  EXPECT_STREQ(s.c_str(), "x");
  s.concat("yz");
  EXPECT_STREQ(s.c_str(), "xyz");
  s.concat(s.c_str());  // appending itself
  EXPECT_STREQ(s.c_str(), "xyzxyz");
  EXPECT_EQ(string_t::npos, 0xffffffffu);
}

TEST(StringT, ArraysOfStringsCopyDeeply) {
  Mvec<string_t> names;
  names.append(string_t("alpha"));
  names.append(string_t("beta"));
  Mvec<string_t> copy(names);
  names[0].init("changed");
  EXPECT_STREQ(copy[0].c_str(), "alpha");
  EXPECT_STREQ(copy[1].c_str(), "beta");
}

}  // namespace
