// Key functions: string and int hashing and comparison.
#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <cstring>
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

// The hash written out with a hardware division per byte.
uint32_t reference_hash(const std::string& s, uint32_t n) {
  uint32_t h = 0;
  for (unsigned char c : s) h = ((h << 8) + c) % n;
  return h;
}

TEST(StrHash, HandComputedValues) {
  EXPECT_EQ(str_hash("ab", 7), 3u);        // 97 % 7 = 6; (6*256 + 98) % 7 = 3
  EXPECT_EQ(str_hash("abc", 1000), 179u);  // a size outside the table
  EXPECT_EQ(str_hash("\xff", 13), 8u);     // 255 % 13, not -1 % 13
  EXPECT_EQ(str_hash("\x80\x80", 3), 1u);  // 128 % 3 = 2; (512 + 128) % 3 = 1
  // Bits shifted out of 32 are lost: 268435010 << 8 wraps to 4294853120.
  EXPECT_EQ(str_hash("\xff\xff\xff\xff\xff", 805306457), 268321090u);
}

TEST(StrHash, EmptyStringIsBucketZeroForEverySize) {
  for (const dst_hash_size_rec& row : dsthashsz) EXPECT_EQ(str_hash("", row.buckets), 0u);
}

TEST(StrHash, MatchesPlainModuloForAllTableSizes) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<int> len_dist(0, 40);
  std::uniform_int_distribution<int> byte_dist(1, 255);
  for (int t = 0; t < 20000; t++) {
    std::string s(static_cast<size_t>(len_dist(rng)), ' ');
    for (char& c : s) c = static_cast<char>(byte_dist(rng));
    for (const dst_hash_size_rec& row : dsthashsz) {
      ASSERT_EQ(str_hash(s.c_str(), row.buckets), reference_hash(s, row.buckets))
          << "size " << row.buckets << " string #" << t;
    }
  }
}

TEST(StrCmp, HasStrcmpSigns) {
  EXPECT_EQ(str_cmp("the_1", "the_1"), 0);
  EXPECT_EQ(str_cmp("", ""), 0);
  EXPECT_LT(str_cmp("ab", "abc"), 0);
  EXPECT_GT(str_cmp("abc", "ab"), 0);
  EXPECT_LT(str_cmp("a_1", "b_1"), 0);
  EXPECT_GT(str_cmp("\x80", "a"), 0);  // bytes compare unsigned
  EXPECT_LT(str_cmp("a", "\xff"), 0);
}

TEST(IntKeys, HashIsUnsignedModulo) {
  int32_t k = 10;
  EXPECT_EQ(DSTIntHash(nullptr, &k, 7), 3u);
  k = -1;  // 4294967295 % 7
  EXPECT_EQ(DSTIntHash(nullptr, &k, 7), 3u);
}

TEST(IntKeys, CompareGivesMinusOneZeroOne) {
  auto cmp = [](int32_t a, int32_t b) { return DSTIntCmp(nullptr, &a, &b); };
  EXPECT_EQ(cmp(3, 3), 0);
  EXPECT_EQ(cmp(2, 3), -1);
  EXPECT_EQ(cmp(3, 2), 1);
  EXPECT_EQ(cmp(INT_MIN, INT_MAX), -1);  // no overflow of a subtraction
  EXPECT_EQ(cmp(INT_MAX, INT_MIN), 1);
}

}  // namespace
