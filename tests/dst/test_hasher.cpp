// The incremental string hash against the byte-by-byte DSTStrHash, and batch
// finds given precomputed buckets.
#include <gtest/gtest.h>

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "dsthash.h"

namespace {

uint32_t byte_hash(const std::string& s, size_t n) {
  const char* p = s.c_str();
  return static_cast<uint32_t>(DSTStrHash(nullptr, &p, n));
}

TEST(StrHasher, WorkedExampleAndApplicableSizes) {
  // "ab" mod 7: (97 mod 7) = 6, then (6 * 256 + 98) mod 7 = 1634 mod 7 = 3.
  DSTStrHasher h7(7);
  DSTStrHasher::Part a = h7.append(h7.empty(), "a", 1);
  EXPECT_EQ(a.hash, 6u);
  EXPECT_EQ(a.shift, 256u % 7);
  EXPECT_EQ(h7.join(a, h7.append(h7.empty(), "b", 1)).hash, 3u);
  EXPECT_EQ(h7.append(h7.empty(), "", 0).hash, 0u);

  EXPECT_TRUE(DSTStrHasher::applies(1));
  EXPECT_TRUE(DSTStrHasher::applies(12582917));  // the largest table size below 2^24
  EXPECT_TRUE(DSTStrHasher::applies(size_t{1} << 24));
  EXPECT_FALSE(DSTStrHasher::applies(25165843));
  EXPECT_FALSE(DSTStrHasher::applies(0));
}

TEST(StrHasher, PartsGiveTheWholeStringsHash) {
  std::mt19937 rng(11);
  std::vector<size_t> sizes = {1, 2, 3, 256, 49157, 786433, 12582917, size_t{1} << 24};
  for (size_t n : sizes) {
    DSTStrHasher h(n);
    for (int t = 0; t < 300; t++) {
      std::string parts[3];
      DSTStrHasher::Part part[3];
      for (int k = 0; k < 3; k++) {
        parts[k].resize(rng() % 23);
        for (char& c : parts[k]) c = static_cast<char>(1 + rng() % 255);  // high bytes too
        part[k] = h.append(h.empty(), parts[k].data(), parts[k].size());
        ASSERT_EQ(part[k].hash, byte_hash(parts[k], n)) << n;
      }
      std::string whole = parts[0] + parts[1] + parts[2];
      EXPECT_EQ(h.join(h.join(part[0], part[1]), part[2]).hash, byte_hash(whole, n)) << n;
      EXPECT_EQ(h.join(part[0], h.join(part[1], part[2])).hash, byte_hash(whole, n)) << n;
      DSTStrHasher::Part more =
          h.append(part[0], (parts[1] + parts[2]).data(), whole.size() - parts[0].size());
      EXPECT_EQ(more.hash, byte_hash(whole, n)) << n;
    }
  }
}

struct Entry {
  const char* key;
  int val;
};

TEST(StrHasher, BatchFindWithGivenBucketsMatchesFind) {
  DSTHashTable ht =
      DSTHashCreate(SYSDefaultHandle, 3, sizeof(Entry), DSTStrCmp, DSTStrHash, nullptr);
  std::vector<std::string> keys;
  for (int i = 0; i < 200; i++) keys.push_back("k" + std::to_string(i * 7));
  for (int i = 0; i < 200; i += 2) {
    Entry e = {keys[i].c_str(), i};
    DSTHashInsert(ht, &e);
  }
  std::vector<Entry> probes(keys.size());
  std::vector<const void*> ptrs;
  std::vector<size_t> buckets;
  for (size_t i = 0; i < keys.size(); i++) {
    probes[i] = Entry{keys[i].c_str(), 0};
    ptrs.push_back(&probes[i]);
    buckets.push_back(DSTStrHash(nullptr, &probes[i], ht->tblsz));
  }
  std::vector<void*> found(keys.size());
  DSTHashFindBatch(ht, ptrs.data(), static_cast<int>(ptrs.size()), found.data(), buckets.data());
  for (size_t i = 0; i < keys.size(); i++) {
    EXPECT_EQ(found[i], DSTHashFind(ht, &probes[i])) << keys[i];
    EXPECT_EQ(found[i] != nullptr, i % 2 == 0) << keys[i];
  }
  DSTHashFree(ht);
}

struct Tagged {
  const char* key;
  int val;
  uint32_t tag;
};

TEST(StrHasher, TaggedBatchFindSkipsEntriesOfOtherTags) {
  EXPECT_EQ(DSTStrTag("abcdef", 6), DSTStrTag(std::string("abcdef").c_str(), 6));
  EXPECT_NE(DSTStrTag("ab", 2), DSTStrTag("ab", 1));
  DSTHashTable ht =
      DSTHashCreate(SYSDefaultHandle, 3, sizeof(Tagged), DSTStrCmp, DSTStrHash, nullptr);
  std::vector<std::string> keys = {"a", "bb", "cat_1", "dog_2 cat_3", "x_9", "long key_12"};
  for (size_t i = 0; i < keys.size(); i++) {
    // Entry 4 carries a wrong tag: a tagged find passes it over.
    uint32_t tag = DSTStrTag(keys[i].data(), keys[i].size()) + (i == 4);
    Tagged e = {keys[i].c_str(), static_cast<int>(i), tag};
    DSTHashInsert(ht, &e);
  }
  std::vector<Tagged> probes;
  std::vector<uint32_t> tags;
  for (const std::string& k : keys) {
    probes.push_back(Tagged{k.c_str(), 0, 0});
    tags.push_back(DSTStrTag(k.data(), k.size()));
  }
  probes.push_back(Tagged{"missing", 0, 0});
  tags.push_back(DSTStrTag("missing", 7));
  std::vector<const void*> ptrs;
  for (const Tagged& p : probes) ptrs.push_back(&p);
  std::vector<void*> found(probes.size());
  DSTHashFindBatch(ht, ptrs.data(), static_cast<int>(ptrs.size()), found.data(), nullptr,
                   tags.data(), offsetof(Tagged, tag));
  for (size_t i = 0; i < probes.size(); i++) {
    if (i == 4 || i == keys.size())
      EXPECT_EQ(found[i], nullptr) << i;
    else
      EXPECT_EQ(found[i], DSTHashFind(ht, &probes[i])) << i;
  }
  DSTHashFree(ht);
}

}  // namespace
