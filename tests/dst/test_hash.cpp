// Hash table: sizing and growth, the order of duplicate keys, batch inserts,
// the string hash and the default error hook.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "dsthash.h"
#include "dstsys.h"

namespace {

struct StrEntry {
  const char* key;
  int val;
};

struct IntEntry {
  int32_t key;
  int32_t val;
};

// A string-keyed table owning its key strings.
struct StrTable {
  DSTHashTable ht;
  std::deque<std::string> keys;
  explicit StrTable(size_t size)
      : ht(DSTHashCreate(SYSDefaultHandle, size, sizeof(StrEntry), DSTStrCmp, DSTStrHash,
                         nullptr)) {}
  ~StrTable() { DSTHashFree(ht); }
  void insert(const std::string& k, int val) {
    keys.push_back(k);
    StrEntry e = {keys.back().c_str(), val};
    DSTHashInsert(ht, &e);
  }
  int find(const std::string& k) const {
    StrEntry probe = {k.c_str(), 0};
    const auto* e = static_cast<const StrEntry*>(DSTHashFind(ht, &probe));
    return e ? e->val : -1;
  }
};

TEST(HashTable, TakesTheFirstSizeAtOrAboveTheRequest) {
  const size_t cases[][2] = {{0, 3}, {3, 3}, {4, 7}, {40000, 49157}, {49158, 98317}};
  for (const auto& c : cases) EXPECT_EQ(StrTable(c[0]).ht->tblsz, c[1]) << c[0];
}

// Three buckets grow at the 11th insert (10 > 3 * 3) to seven, then 29 at the
// 23rd and 97 at the 89th: a duplicate key found last-inserted first before a
// growth is found first-inserted after it.
TEST(HashTable, GrowthStepsAndTheOrderOfDuplicates) {
  StrTable t(1);
  t.insert("dup", 1);
  t.insert("dup", 2);
  for (int k = 0; k < 8; k++) t.insert("k" + std::to_string(k), k);
  EXPECT_EQ(t.ht->tblsz, 3u);
  EXPECT_EQ(t.find("dup"), 2);
  t.insert("k8", 8);
  EXPECT_EQ(t.ht->tblsz, 7u);
  EXPECT_EQ(t.find("dup"), 1);
  const size_t sizes[] = {7, 29, 97};
  const int grows_at[] = {11, 23, 89};
  for (int n = 12, step = 0; n <= 100; n++) {
    t.insert("k" + std::to_string(n - 3), n - 3);
    if (step < 2 && n == grows_at[step + 1]) step++;
    ASSERT_EQ(t.ht->tblsz, sizes[step]) << "insert " << n;
  }
  for (int k = 0; k < 98; k++) ASSERT_EQ(t.find("k" + std::to_string(k)), k);
  EXPECT_EQ(t.find("absent"), -1);
  EXPECT_EQ(t.find(""), -1);
  t.insert("", 5);  // the empty string is a key too
  EXPECT_EQ(t.find(""), 5);

  DSTHashTable big =
      DSTHashCreate(SYSDefaultHandle, 40000, sizeof(IntEntry), DSTIntCmp, DSTIntHash, nullptr);
  for (int32_t k = 0; k < 3 * 49157 + 1; k++) {
    IntEntry e = {k * 7919, k};
    DSTHashInsert(big, &e);
  }
  EXPECT_EQ(big->tblsz, 49157u);
  IntEntry last = {-1, 0};
  DSTHashInsert(big, &last);
  EXPECT_EQ(big->tblsz, 98317u);
  DSTHashFree(big);
}

// Batches of every length build the chains of single inserts, duplicates
// included.
TEST(HashTable, BatchInsertsAgreeWithSingleOnes) {
  std::vector<IntEntry> entries;
  for (int32_t k = 0; k < 3000; k++) entries.push_back({(k * 37) % 1100, k});
  for (int batch : {1, 5, 32, 33, 100}) {
    DSTHashTable one = DSTHashCreate(SYSDefaultHandle, 1, sizeof(IntEntry), DSTIntCmp, DSTIntHash, nullptr);
    DSTHashTable many = DSTHashCreate(SYSDefaultHandle, 1, sizeof(IntEntry), DSTIntCmp, DSTIntHash, nullptr);
    for (const IntEntry& e : entries) DSTHashInsert(one, &e);
    for (size_t k = 0; k < entries.size(); k += batch)
      DSTHashInsertBatch(many, &entries[k], static_cast<int>(std::min(entries.size() - k, size_t(batch))));
    ASSERT_EQ(many->tblsz, one->tblsz);
    for (int32_t key = -1; key < 1101; key++) {
      IntEntry probe = {key, 0};
      const auto* a = static_cast<const IntEntry*>(DSTHashFind(one, &probe));
      const auto* b = static_cast<const IntEntry*>(DSTHashFind(many, &probe));
      ASSERT_EQ(a ? a->val : -1, b ? b->val : -1) << key;
    }
    DSTHashFree(one);
    DSTHashFree(many);
  }
}

// The hash is ((h << 8) + byte) % n over unsigned bytes in 32-bit arithmetic,
// whichever way the table size lets it be computed.
TEST(StrHash, HandValuesAndTheDefinition) {
  auto hash = [](const std::string& s, size_t n) {
    const char* p = s.c_str();
    return DSTStrHash(nullptr, &p, n);
  };
  EXPECT_EQ(hash("ab", 7), 3u);  // 97 % 7 = 6; (6 * 256 + 98) % 7 = 3
  EXPECT_EQ(hash("\xff", 13), 8u);
  EXPECT_EQ(hash("\xff\xff\xff\xff\xff", 805306457), 268321090u);  // bits beyond 32 are lost
  auto definition = [](const std::string& s, size_t n) {
    uint32_t h = 0;
    for (unsigned char c : s) h = static_cast<uint32_t>(((h << 8) + c) % n);
    return size_t{h};
  };
  // Table sizes up to 2^24 and beyond, and a size of no table.
  std::mt19937 rng(11);
  for (size_t n : {size_t{3}, size_t{49157}, size_t{12582917}, size_t{25165843}, size_t{1000}}) {
    for (int t = 0; t < 200; t++) {
      std::string s(rng() % 23, ' ');
      for (char& c : s) c = static_cast<char>(1 + rng() % 255);
      ASSERT_EQ(hash(s, n), definition(s, n)) << n << " " << s.size();
    }
  }
}

TEST(DefaultHooks, ErrorsThrowWithTheHandlersPrefix) {
  sys_handle_rec dict = *SYSDefaultHandle;
  dict.prefix = "dict";
  try {
    dst_error(&dict, "bad thing");
    ADD_FAILURE();
  } catch (const DSTError& e) {
    EXPECT_STREQ(e.what(), "dict: ERROR: bad thing.");
  }
  try {
    dst_memalloc(SYSDefaultHandle, SIZE_MAX / 2);
    ADD_FAILURE();
  } catch (const DSTError& e) {
    EXPECT_STREQ(e.what(), "ERROR: memory allocation failed.");
  }
}

}  // namespace

// Lets the allocation-failure test see a null result under AddressSanitizer.
extern "C" const char* __asan_default_options() { return "allocator_may_return_null=1"; }
