// Membership filter of the hash table: it may only rule out absent keys.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
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
  // The filtered batch lookup of `ks`.
  std::vector<void*> batch(const std::vector<std::string>& ks) {
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
                     tags.data(), offsetof(Entry, tag));
    return found;
  }
  // DSTHashFind of `key`, which never consults the filter.
  void* find(const std::string& key) {
    Entry probe = {key.c_str(), 0, 0};
    return DSTHashFind(ht, &probe);
  }
  // Checks the batch lookup of `ks` against find; returns the entries found.
  int check(const std::vector<std::string>& ks) {
    std::vector<void*> found = batch(ks);
    int hits = 0;
    for (size_t j = 0; j < ks.size(); j++) {
      EXPECT_EQ(found[j], find(ks[j])) << ks[j];
      hits += found[j] != nullptr;
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

TEST(HashFilter, NeverRejectsPresentKeysThroughGrowthAndDuplicates) {
  std::mt19937 rng(7);
  const std::vector<std::string> present = random_keys(rng, 20000, "w");
  const std::vector<std::string> absent = random_keys(rng, 20000, "v");
  const std::vector<std::string> dups(present.begin(), present.begin() + 500);
  Table early, late;
  DSTHashEnableFilter(early.ht, offsetof(Entry, tag));  // kept up through 7 growths
  for (Table* t : {&early, &late}) t->insert(present), t->insert(dups);
  DSTHashEnableFilter(late.ht, offsetof(Entry, tag));  // filled from the entries present
  for (Table* t : {&early, &late}) {
    EXPECT_EQ(t->check(present), 20000);
    EXPECT_EQ(t->check(dups), 500);  // the same one of two equal keys
    EXPECT_EQ(t->check(absent), 0);
  }
}

}  // namespace
