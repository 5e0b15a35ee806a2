// Packed chains of the hash table: batch lookups on the packed copy find what
// DSTHashFind finds, and its tag masks only ever rule out absent keys.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <deque>
#include <random>
#include <string>
#include <vector>

#include "dsthash.h"

namespace {

struct Entry {
  const char* key;
  int val;
  uint32_t tag;
};

struct Table {
  DSTHashTable ht;
  std::deque<std::string> keys;  // one per insert, duplicates included
  Table() : ht(DSTHashCreate(SYSDefaultHandle, 1, sizeof(Entry), DSTStrCmp, DSTStrHash, nullptr)) {}
  ~Table() { DSTHashFree(ht); }
  void insert(const std::vector<std::string>& ks) {
    for (const std::string& k : ks) {
      keys.push_back(k);
      Entry e = {keys.back().c_str(), static_cast<int>(keys.size()), DSTStrTag(k.data(), k.size())};
      DSTHashInsert(ht, &e);
    }
  }
  // The batch lookup of `ks`, with tags at `tag_offset` or without tags.
  std::vector<void*> batch(const std::vector<std::string>& ks, bool with_tags, size_t tag_offset) {
    std::vector<Entry> probes(ks.size());
    std::vector<const void*> ptrs(ks.size());
    std::vector<uint32_t> tags(ks.size());
    for (size_t j = 0; j < ks.size(); j++) {
      probes[j].key = ks[j].c_str();
      ptrs[j] = &probes[j];
      tags[j] = DSTStrTag(ks[j].data(), ks[j].size());
    }
    std::vector<void*> found(ks.size());
    DSTHashFindBatch(ht, ptrs.data(), static_cast<int>(ks.size()), found.data(), nullptr,
                     with_tags ? tags.data() : nullptr, tag_offset);
    return found;
  }
  // Checks every way of looking `ks` up against DSTHashFind (which walks the
  // chains): a packed lookup gives a copy of the same entry. Returns the hits.
  int check(const std::vector<std::string>& ks) {
    const std::vector<void*> lookups[] = {batch(ks, true, offsetof(Entry, tag)),
                                          batch(ks, false, 0)};
    int hits = 0;
    for (size_t j = 0; j < ks.size(); j++) {
      Entry probe = {ks[j].c_str(), 0, 0};
      const Entry* want = static_cast<const Entry*>(DSTHashFind(ht, &probe));
      for (const std::vector<void*>& found : lookups) {
        const Entry* got = static_cast<const Entry*>(found[j]);
        EXPECT_EQ(got == nullptr, want == nullptr) << ks[j];
        if (!got || !want) continue;
        EXPECT_STREQ(got->key, ks[j].c_str());
        EXPECT_EQ(got->val, want->val) << ks[j];  // the same of several equal keys
        EXPECT_EQ(got->tag, want->tag);
      }
      hits += want != nullptr;
    }
    return hits;
  }
};

std::vector<std::string> random_keys(std::mt19937& rng, int n, const char* prefix) {
  std::vector<std::string> ks;
  for (int i = 0; i < n; i++)
    ks.push_back(prefix + std::to_string(rng()) + "_" + std::to_string(i % 50));
  return ks;
}

TEST(PackedChains, FindWhatTheChainsHoldThroughGrowthAndDuplicates) {
  std::mt19937 rng(7);
  const std::vector<std::string> present = random_keys(rng, 20000, "w");
  const std::vector<std::string> absent = random_keys(rng, 20000, "v");
  const std::vector<std::string> dups(present.begin(), present.begin() + 500);
  Table t;
  t.insert(present);
  t.insert(dups);  // found first until a growth reverses them
  t.insert({"", "a", "ab", "abc", "abcd", "\xe9t\xe9_3 x_4"});  // short, empty and 8-bit keys
  for (int round = 0; round < 2; round++) {
    DSTHashPackChains(t.ht, offsetof(Entry, tag));
    ASSERT_NE(t.ht->pack, nullptr);
    EXPECT_EQ(DSTHashPackedTagOffset(t.ht), offsetof(Entry, tag));
    EXPECT_EQ(t.check(present), 20000);
    EXPECT_EQ(t.check(dups), 500);
    EXPECT_EQ(t.check(absent), 0);
    EXPECT_EQ(t.check({"", "a", "abcd", "abcde"}), 3);
    // Enough inserts to grow the table again: the copy is dropped, and the
    // next round packs the reordered chains.
    t.insert(random_keys(rng, 60000, "x"));
    t.insert(dups);
    EXPECT_EQ(t.ht->pack, nullptr);
    EXPECT_EQ(DSTHashPackedTagOffset(t.ht), DST_UNTAGGED);
    EXPECT_EQ(t.check(dups), 500);
  }
}

TEST(PackedChains, UntaggedAndEmptyTablesAndIntKeys) {
  Table empty;
  DSTHashPackChains(empty.ht);
  EXPECT_EQ(empty.check({"", "a"}), 0);

  Table small;
  small.insert({"k_1", "k_2", "k_1"});
  EXPECT_EQ(DSTHashPackedTagOffset(small.ht), DST_UNTAGGED);
  DSTHashPackChains(small.ht);  // no masks: tagged probes read every run
  EXPECT_EQ(DSTHashPackedTagOffset(small.ht), DST_UNTAGGED);
  EXPECT_EQ(small.check({"k_1", "k_2", "k_3"}), 2);

  struct IntEntry {
    int key;
    int val;
  };
  DSTHashTable ints =
      DSTHashCreate(SYSDefaultHandle, 1, sizeof(IntEntry), DSTIntCmp, DSTIntHash, nullptr);
  for (int k = 0; k < 3000; k++) {
    IntEntry e = {k % 1000, k};  // each key three times: the last one wins
    DSTHashInsert(ints, &e);
  }
  DSTHashPackChains(ints);
  std::vector<IntEntry> probes;
  for (int k = -5; k < 1005; k++) probes.push_back({k, 0});
  std::vector<const void*> ptrs;
  for (const IntEntry& p : probes) ptrs.push_back(&p);
  std::vector<void*> found(probes.size());
  DSTHashFindBatch(ints, ptrs.data(), static_cast<int>(ptrs.size()), found.data());
  for (size_t j = 0; j < probes.size(); j++) {
    const IntEntry* want = static_cast<const IntEntry*>(DSTHashFind(ints, ptrs[j]));
    const IntEntry* got = static_cast<const IntEntry*>(found[j]);
    ASSERT_EQ(got == nullptr, want == nullptr) << probes[j].key;
    if (got) {
      EXPECT_EQ(got->val, want->val);
    }
  }
  DSTHashFree(ints);
}

}  // namespace
