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
  DSTPool pool;  // source of chain nodes
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
// holds more than 3 entries per bucket.
void DSTHashInsert(DSTHashTable ht, const void* entry);
// DSTHashInsert of the k entries stored one after the other at `entries`, in
// order; the bucket slots of a few entries at a time are fetched together.
void DSTHashInsertBatch(DSTHashTable ht, const void* entries, int k);
// The first stored entry of the probe's chain equal to it, or null. The entry
// may be changed in place except for its key.
void* DSTHashFind(DSTHashTable ht, const void* probe);
// Calls fn(arg, entry) for every entry, bucket 0 upward, each chain head to tail.
void DSTHashWalk(DSTHashTable ht, void (*fn)(void* arg, void* entry), void* arg);
// Releases the nodes, the bucket array and the record (not what entries point to).
void DSTHashFree(DSTHashTable ht);

// Key functions. Str: the entry's first word points to a NUL-terminated string;
// h = ((h << 8) + byte) mod n per unsigned byte in 32-bit arithmetic, so the
// empty string hashes to 0. Int: the entry's first word is a 32-bit int,
// hashed as unsigned mod n. `n` is a bucket count below 2^32.
size_t DSTStrHash(void* data, const void* key, size_t n);
int DSTStrCmp(void* data, const void* a, const void* b);
size_t DSTIntHash(void* data, const void* key, size_t n);
int DSTIntCmp(void* data, const void* a, const void* b);

#endif  // DST_DSTHASH_H
