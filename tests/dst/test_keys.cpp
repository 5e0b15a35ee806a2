// Key functions: string and int hashing and comparison.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <random>
#include <string>

#include "dsthash.h"

namespace {

size_t str_hash(const char* s, size_t n) {
  return DSTStrHash(nullptr, &s, n);
}

int str_cmp(const char* a, const char* b) {
  return DSTStrCmp(nullptr, &a, &b);
}

int int_cmp(int32_t a, int32_t b) {
  return DSTIntCmp(nullptr, &a, &b);
}

TEST(StrHash, HandComputedValues) {
  EXPECT_EQ(str_hash("ab", 7), 3u);        // 97 % 7 = 6; (6*256 + 98) % 7 = 3
  EXPECT_EQ(str_hash("abc", 1000), 179u);  // a size outside the table
  EXPECT_EQ(str_hash("\xff", 13), 8u);     // 255 % 13, not -1 % 13
  // Bits shifted out of 32 are lost: 268435010 << 8 wraps to 4294853120.
  EXPECT_EQ(str_hash("\xff\xff\xff\xff\xff", 805306457), 268321090u);
}

// The per-byte ((h << 8) + c) % n with a hardware division, for every table size.
TEST(StrHash, MatchesPlainModuloForAllTableSizes) {
  std::mt19937 rng(12345);
  for (int t = 0; t < 3000; t++) {
    std::string s(rng() % 41, ' ');  // the empty string included
    for (char& c : s) c = static_cast<char>(1 + rng() % 255);
    for (const dst_hash_size_rec& row : dsthashsz) {
      uint32_t h = 0;
      for (unsigned char c : s) h = ((h << 8) + c) % row.buckets;
      ASSERT_EQ(str_hash(s.c_str(), row.buckets), h) << "size " << row.buckets << " #" << t;
    }
  }
}

TEST(KeyCompare, StrcmpSignsOnUnsignedBytesAndIntsWithoutOverflow) {
  EXPECT_EQ(str_cmp("the_1", "the_1"), 0);
  EXPECT_EQ(str_cmp("", ""), 0);
  EXPECT_LT(str_cmp("ab", "abc"), 0);
  EXPECT_GT(str_cmp("abc", "ab"), 0);
  EXPECT_GT(str_cmp("\x80", "a"), 0);
  EXPECT_LT(str_cmp("a", "\xff"), 0);
  EXPECT_EQ(int_cmp(3, 3), 0);
  EXPECT_EQ(int_cmp(INT_MIN, INT_MAX), -1);
  EXPECT_EQ(int_cmp(INT_MAX, INT_MIN), 1);
  int32_t k = -1;  // 4294967295 % 7
  EXPECT_EQ(DSTIntHash(nullptr, &k, 7), 3u);
}

}  // namespace
