// Chained hash table of fixed-size entries stored by value. Entries are copied
// in on insert; nodes come from a pool. There is no duplicate check: among equal
// keys the most recently inserted is found first, until a growth reverses the
// order of the equal keys present at that moment. The table grows to about
// twice its bucket count when it holds more than three entries per bucket.
#ifndef DST_DSTHASH_H
#define DST_DSTHASH_H

#include <cstddef>
#include <cstdint>

#include "dstpool.h"
#include "dstsys.h"

// Compares a probe with a stored entry: 0 means equal.
typedef int (*DSTCmpFunc)(void* data, const void* probe, const void* stored);
// Bucket number of an entry or probe, below `n`.
typedef size_t (*DSTHashFunc)(void* data, const void* key, size_t n);

// A chain node: its first word links the next node; the entry starts `align`
// bytes after the node's start.
struct dst_hash_node_rec {
  dst_hash_node_rec* next;
};
typedef dst_hash_node_rec* DSTHashList;

typedef struct dst_hash_table_rec* DSTHashTable;
typedef struct dst_hash_pack_rec* DSTHashPack;

struct dst_hash_table_rec {
  DSTHashList* array;  // `tblsz` chain heads, null for an empty bucket
  void* data;          // user data handed to cmp and hfunc
  SYSHandle hdl;       // hooks for all memory and errors
  size_t tblsz;        // number of buckets, a size of dsthashsz
  size_t entrysz;      // bytes of one entry
  size_t align;        // offset of the entry inside a chain node
  size_t cnt;          // entries inserted
  DSTCmpFunc cmp;
  DSTHashFunc hfunc;
  DSTPool pool;      // source of chain nodes
  DSTHashPack pack;  // read-only copy of the chains (DSTHashPackChains), or null
};

// One row of the size table: a prime bucket count, the pool's objects per block
// and the reciprocal ceil(2^64 / buckets) that replaces division by it.
struct dst_hash_size_rec {
  size_t buckets;
  size_t blkobjs;
  uint64_t recip;
};

constexpr int DST_HASH_NSIZES = 29;
extern const dst_hash_size_rec dsthashsz[DST_HASH_NSIZES];

// A table with the first bucket count of dsthashsz at or above `size` (the last
// row for larger requests).
DSTHashTable DSTHashCreate(SYSHandle hdl, size_t size, size_t entrysz, DSTCmpFunc cmp,
                           DSTHashFunc hfunc, void* data);
// Copies `entrysz` bytes of `entry` into the table, growing it first when it
// holds more than 3 entries per bucket. Drops the packed copy of the chains.
void DSTHashInsert(DSTHashTable ht, const void* entry);
// DSTHashInsert of the k entries stored one after the other at `entries`, in
// order; the bucket slots of a few entries at a time are fetched together.
void DSTHashInsertBatch(DSTHashTable ht, const void* entries, int k);
// The first stored entry of the probe's chain equal to it, or null. The entry
// may be changed in place except for its key.
void* DSTHashFind(DSTHashTable ht, const void* probe);
// found[j] = DSTHashFind(ht, probes[j]) for j below k. The chain walks of the
// probes are interleaved and their memory accesses prefetched, so a batch costs
// far less than the same finds one after another when the table is not cached.
// `buckets`, when given, holds hfunc's result for each probe, which is then
// not called. `tags`, when given, holds a tag of each probe's key, and every
// stored entry holds the tag of its key as a uint32_t at byte `tag_offset`:
// an entry whose tag differs from the probe's is passed over without cmp (and
// without touching a string key), so equal keys must have equal tags.
// On a packed table (DSTHashPackChains) the probes walk the packed copy,
// screened by its masks when the tags are at the offset it was packed with,
// and `found` points to entries of the copy, which must not be written.
void DSTHashFindBatch(DSTHashTable ht, const void* const* probes, int k, void** found,
                      const size_t* buckets = nullptr, const uint32_t* tags = nullptr,
                      size_t tag_offset = 0);

// DSTHashPackChains: the entries carry no tag.
constexpr size_t DST_UNTAGGED = SIZE_MAX;
// Lays out a read-only copy of the chains for DSTHashFindBatch: bucket after
// bucket, the entries of a chain in chain order, each followed by the length
// and a copy of its key string when the table compares with DSTStrCmp. A lookup then reads
// one short contiguous run instead of a node and a string per chain step.
// When every entry holds a uint32_t tag of its key at byte `tag_offset`, each
// bucket also gets a 32-bit mask with three bits set per entry's tag, which
// rules out most absent keys before their run is read. The copy takes about
// the entries' and keys' size; the next insert drops it.
void DSTHashPackChains(DSTHashTable ht, size_t tag_offset = DST_UNTAGGED);
// The tag offset the table's current packed copy was made with, or
// DST_UNTAGGED when it has none or was packed without tags.
size_t DSTHashPackedTagOffset(DSTHashTable ht);
// Calls fn(arg, entry) for every entry, bucket 0 upward, each chain head to tail.
void DSTHashWalk(DSTHashTable ht, void (*fn)(void* arg, void* entry), void* arg);
// Releases the nodes, the bucket array and the record (not what entries point to).
void DSTHashFree(DSTHashTable ht);

// Key functions. Str: the entry's first word points to a NUL-terminated string;
// h = ((h << 8) + byte) mod n per unsigned byte in 32-bit arithmetic, so the
// empty string hashes to 0. Int: the entry's first word is a 32-bit int,
// hashed as unsigned mod n. `n` is a bucket count below 2^32.
size_t DSTStrHash(void* data, const void* key, size_t n);

// DSTStrHash of strings assembled from parts, for bucket counts up to 2^24.
// There no step of DSTStrHash loses bits, so the hash of a string is its value
// as a base-256 number modulo n, and the hash of a concatenation follows from
// the hashes and lengths of its parts.
class DSTStrHasher {
 public:
  // A part of a string: its DSTStrHash and 256^(its length) mod n.
  struct Part {
    uint32_t hash;
    uint32_t shift;
  };

  static bool applies(size_t n) { return n >= 1 && n <= (size_t{1} << 24); }
  // For bucket count n, which must satisfy applies(n).
  explicit DSTStrHasher(size_t n);

  // The empty string.
  Part empty() const { return Part{0, one_}; }
  // Part a followed by the len bytes at s.
  Part append(Part a, const char* s, size_t len) const;
  // Part a followed by part b.
  Part join(Part a, Part b) const {
    return Part{join_hash(a, b), mod(uint64_t{a.shift} * b.shift)};
  }
  // The hash alone of part a followed by part b.
  uint32_t join_hash(Part a, Part b) const { return mod(uint64_t{a.hash} * b.shift + b.hash); }

 private:
  // x mod n for any 64-bit x: m = floor((2^64 - 1) / n) puts the quotient
  // estimate at most one below the true quotient.
  uint32_t mod(uint64_t x) const {
    uint64_t q = static_cast<uint64_t>((static_cast<unsigned __int128>(x) * m_) >> 64);
    uint64_t r = x - q * n_;
    return static_cast<uint32_t>(r >= n_ ? r - n_ : r);
  }

  uint64_t n_;
  uint64_t m_;
  uint32_t one_;  // 1 mod n
};
int DSTStrCmp(void* data, const void* a, const void* b);
// A tag of the len bytes at s for DSTHashFindBatch: mixes the length with the
// first and the last four bytes, which is cheap for any length.
uint32_t DSTStrTag(const char* s, size_t len);
size_t DSTIntHash(void* data, const void* key, size_t n);
int DSTIntCmp(void* data, const void* a, const void* b);

#endif  // DST_DSTHASH_H
