// Growable arrays and strings: growth keeps the elements (also a source taken
// from the array itself), slots keep their buffers, borrowed storage stays
// the caller's.
#include <gtest/gtest.h>

#include "ZDutil_vec.h"

namespace {

TEST(Mvec, GrowthKeepsElementsAndSlots) {
  Mvec<int> v;
  for (int i = 0; i < 257; i++) v.append(i + 1);
  EXPECT_EQ(v.nalloc, 768);  // 2 * count + 256, twice
  v.remove(1);
  EXPECT_EQ(v[1], 3);
  EXPECT_EQ(v.nitems, 256);
  EXPECT_EXIT(v.remove(256), testing::ExitedWithCode(1),
              "^Mvec\\[\\]: trying to remove element out of range 256>256\nMemory Error");

  Mvec<Mvec<int>> nested;
  nested.set_nitems(1);
  nested[0].append(42);
  int* buffer = nested[0].data;
  nested.set_nitems(0);
  nested.set_nitems(1);  // the old slot comes back with its buffer
  EXPECT_EQ(nested[0].data, buffer);
  nested.append(nested[0]);  // full: the source must survive the growth
  EXPECT_EQ(nested[1][0], 42);
  EXPECT_EQ(nested[0].data, buffer);  // relocated, not copied
}

TEST(Mvec, BorrowedStorageIsNeverGrownOrFreed) {
  double outs[3] = {1, 2, 3};
  {
    Mvec<double> view;
    view.borrow(outs, 3);
    view[0] = 9;
    view.set_nitems(1);
    view.compress();  // gets its own copy
    EXPECT_NE(view.data, outs);
    EXPECT_EQ(view[0], 9);
  }
  EXPECT_EQ(outs[0], 9);
  for (int grow : {0, 1}) {
    EXPECT_DEATH(
        {
          Mvec<double> view;
          view.borrow(outs, 3);
          grow ? view.append(1.0) : view.set_nitems(4);
        },
        "^Mvec::set_nitems: Cannot expand borrowed data\n$");
  }
}

TEST(StringT, ConcatSelfAppendAndDeepCopies) {
  string_t s;
  s.init(nullptr);
  EXPECT_STREQ(s.c_str(), "");
  s.init("ab");
  EXPECT_STREQ((s + string_t("cd")).c_str(), "abcd");
  s.init('x');
  s.concat("yz");
  s.concat(s.c_str());
  EXPECT_STREQ(s.c_str(), "xyzxyz");
  Mvec<string_t> names;
  names.append(string_t("alpha"));
  Mvec<string_t> copy(names);
  names[0].init("changed");
  EXPECT_STREQ(copy[0].c_str(), "alpha");
}

}  // namespace
