// Hash table: sizing, chain order of duplicates, growth and memory hooks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "dsthash.h"

namespace {

struct StrEntry {
  const char* key;
  int val;
};

struct IntEntry {
  int32_t key;
  int32_t val;
};

DSTHashTable str_table(size_t size) {
  return DSTHashCreate(SYSDefaultHandle, size, sizeof(StrEntry), DSTStrCmp, DSTStrHash, nullptr);
}

DSTHashTable int_table(size_t size, SYSHandle hdl = SYSDefaultHandle) {
  return DSTHashCreate(hdl, size, sizeof(IntEntry), DSTIntCmp, DSTIntHash, nullptr);
}

int find_str(DSTHashTable ht, const char* key) {
  StrEntry probe = {key, 0};
  const StrEntry* e = static_cast<const StrEntry*>(DSTHashFind(ht, &probe));
  return e ? e->val : -1;
}

const IntEntry* find_int(DSTHashTable ht, int32_t key) {
  IntEntry probe = {key, 0};
  return static_cast<const IntEntry*>(DSTHashFind(ht, &probe));
}

void insert_str(DSTHashTable ht, const char* key, int val) {
  StrEntry e = {key, val};
  DSTHashInsert(ht, &e);
}

void insert_int(DSTHashTable ht, int32_t key, int32_t val) {
  IntEntry e = {key, val};
  DSTHashInsert(ht, &e);
}

std::vector<int32_t> walk_keys(DSTHashTable ht) {
  std::vector<int32_t> keys;
  DSTHashWalk(
      ht,
      [](void* arg, void* entry) {
        static_cast<std::vector<int32_t>*>(arg)->push_back(static_cast<IntEntry*>(entry)->key);
      },
      &keys);
  return keys;
}

TEST(HashTable, TakesFirstSizeAtOrAboveRequest) {
  const size_t cases[][2] = {{0, 3},         {3, 3},         {4, 7},
                             {40000, 49157}, {49157, 49157}, {49158, 98317}};
  for (const auto& c : cases) {
    DSTHashTable ht = str_table(c[0]);
    EXPECT_EQ(ht->tblsz, c[1]) << "request " << c[0];
    DSTHashFree(ht);
  }
  DSTHashTable ht = str_table(10);
  EXPECT_EQ(find_str(ht, ""), -1);
  insert_str(ht, "", 7);  // the empty string is a key, in bucket 0
  EXPECT_NE(ht->array[0], nullptr);
  EXPECT_EQ(find_str(ht, ""), 7);
  DSTHashFree(ht);
}

// Three buckets grow at the 11th insert (10 > 3 * 3) to seven: a duplicate
// key found last-inserted first before the growth is found first-inserted after.
TEST(HashTable, DuplicateFoundLastBeforeGrowthAndFirstAfter) {
  DSTHashTable ht = str_table(1);
  const char* others[] = {"b", "c", "d", "e", "f", "g", "h", "i", "j"};
  insert_str(ht, "dup", 1);
  insert_str(ht, "dup", 2);
  for (int k = 0; k < 8; k++) insert_str(ht, others[k], 10 + k);
  EXPECT_EQ(ht->tblsz, 3u);
  EXPECT_EQ(find_str(ht, "dup"), 2);
  insert_str(ht, others[8], 18);
  EXPECT_EQ(ht->tblsz, 7u);
  EXPECT_EQ(ht->cnt, 11u);
  EXPECT_EQ(find_str(ht, "dup"), 1);
  for (int k = 0; k < 9; k++) EXPECT_EQ(find_str(ht, others[k]), 10 + k);
  insert_str(ht, "dup", 3);
  EXPECT_EQ(find_str(ht, "dup"), 3);
  DSTHashFree(ht);
}

TEST(HashTable, ChainsAreHeadFirstAndGrowthMovesThemBucketByBucket) {
  DSTHashTable ht = int_table(1);
  for (int32_t k = 0; k < 6; k++) insert_int(ht, k, k);
  EXPECT_EQ(walk_keys(ht), (std::vector<int32_t>{3, 0, 4, 1, 5, 2}));  // bucket k % 3
  for (int32_t k = 6; k < 11; k++) insert_int(ht, k, k);
  // Old chains [9 6 3 0] [7 4 1] [8 5 2] move in that order to the heads of
  // k % 7; then 10 joins bucket 3.
  EXPECT_EQ(walk_keys(ht), (std::vector<int32_t>{7, 0, 8, 1, 2, 9, 10, 3, 4, 5, 6}));
  DSTHashFree(ht);
}

TEST(HashTable, TableFor40000GrowsAtInsert147473) {
  DSTHashTable ht = int_table(40000);
  const int32_t before = 3 * 49157 + 1;  // 147472 entries still fit
  for (int32_t k = 0; k < before; k++) insert_int(ht, k * 7919, k);
  EXPECT_EQ(ht->tblsz, 49157u);
  insert_int(ht, -1, before);
  EXPECT_EQ(ht->tblsz, 98317u);
  EXPECT_EQ(ht->cnt, 147473u);
  for (int32_t k = 0; k < before; k++) {
    const IntEntry* e = find_int(ht, k * 7919);
    ASSERT_NE(e, nullptr) << k;
    ASSERT_EQ(e->val, k);
  }
  EXPECT_EQ(find_int(ht, -1)->val, before);
  EXPECT_EQ(find_int(ht, 1), nullptr);
  DSTHashFree(ht);
}

// Batches of every length, across growths from 3 buckets, give the same
// chains, in the same order, as one insert after the other.
TEST(HashTable, InsertBatchBuildsTheChainsOfSingleInserts) {
  for (int batch : {1, 2, 5, 31, 32, 33, 100}) {
    DSTHashTable one = int_table(1), many = int_table(1);
    std::vector<IntEntry> entries;
    for (int32_t k = 0; k < 3000; k++) entries.push_back({(k * 37) % 1100, k});  // with duplicates
    for (const IntEntry& e : entries) DSTHashInsert(one, &e);
    for (size_t k = 0; k < entries.size(); k += batch)
      DSTHashInsertBatch(many, &entries[k],
                         static_cast<int>(std::min(entries.size() - k, size_t(batch))));
    EXPECT_EQ(many->tblsz, one->tblsz) << batch;
    EXPECT_EQ(many->cnt, 3000u);
    std::vector<int32_t> vals[2];
    for (int t = 0; t < 2; t++)
      DSTHashWalk(
          t ? many : one,
          [](void* arg, void* entry) {
            static_cast<std::vector<int32_t>*>(arg)->push_back(static_cast<IntEntry*>(entry)->val);
          },
          &vals[t]);
    EXPECT_EQ(vals[1], vals[0]) << batch;
    DSTHashFree(one);
    DSTHashFree(many);
  }
}

// More probes than one interleaved chunk: hits, misses and duplicate keys.
TEST(HashTable, FindBatchAgreesWithFind) {
  DSTHashTable ht = str_table(1);
  const char* const words[] = {"a_1", "b_2", "a_1 b_2", "", "\xe9t\xe9_3", "c_3", "a_1"};
  std::vector<StrEntry> entries = {{"absent", 0}};
  for (int k = 0; k < 100; k++) {
    entries.push_back({words[k % 7], k});
    if (k % 2 == 0) insert_str(ht, words[k % 7], k);
  }
  std::vector<const void*> probes;
  for (const StrEntry& e : entries) probes.push_back(&e);
  std::vector<void*> found(probes.size(), &found);
  DSTHashFindBatch(ht, probes.data(), static_cast<int>(probes.size()), found.data());
  for (size_t j = 0; j < probes.size(); j++)
    EXPECT_EQ(found[j], DSTHashFind(ht, probes[j])) << "probe " << j;
  DSTHashFree(ht);
}

// A handler that counts its allocations and releases.
struct Counts {
  int allocs = 0;
  int frees = 0;
};

sys_handle_rec counting_handle(Counts* counts, size_t align) {
  sys_handle_rec h = *SYSDefaultHandle;
  h.data = counts;
  h.align = align;
  h.memalloc = [](SYSHandle hdl, size_t size) {
    static_cast<Counts*>(hdl->data)->allocs++;
    return dst_memalloc(hdl, size);
  };
  h.clralloc = [](SYSHandle hdl, size_t count, size_t size) {
    static_cast<Counts*>(hdl->data)->allocs++;
    return dst_clralloc(hdl, count, size);
  };
  h.memfree = [](SYSHandle hdl, void* p) {
    static_cast<Counts*>(hdl->data)->frees++;
    dst_memfree(hdl, p);
  };
  return h;
}

TEST(HashTable, MemoryGoesThroughTheHandlerWithItsAlignment) {
  Counts counts;
  sys_handle_rec h = counting_handle(&counts, 8);
  DSTHashTable ht = int_table(1, &h);
  EXPECT_EQ(counts.allocs, 3);  // record, bucket array, pool record
  for (int32_t k = 0; k < 100; k++) insert_int(ht, k, k);
  EXPECT_EQ(ht->tblsz, 97u);  // 3 -> 7 (insert 11) -> 29 (insert 23) -> 97 (insert 89)
  for (int32_t k = 0; k < 100; k++) ASSERT_EQ(find_int(ht, k)->val, k);
  DSTHashFree(ht);
  EXPECT_EQ(counts.allocs, counts.frees);

  sys_handle_rec wide = counting_handle(&counts, 16);
  ht = int_table(1, &wide);
  insert_int(ht, 4, 44);
  EXPECT_EQ(reinterpret_cast<const char*>(find_int(ht, 4)) - reinterpret_cast<char*>(ht->array[1]),
            16);
  DSTHashFree(ht);
  // Below 4 counts as 4, and never less than a pointer: the link word comes first.
  sys_handle_rec narrow = counting_handle(&counts, 2);
  ht = int_table(1, &narrow);
  EXPECT_EQ(ht->align, sizeof(void*) < 4 ? 4 : sizeof(void*));
  for (int32_t k = 0; k < 20; k++) insert_int(ht, k, -k);
  for (int32_t k = 0; k < 20; k++) ASSERT_EQ(find_int(ht, k)->val, -k);
  DSTHashFree(ht);
}

}  // namespace
