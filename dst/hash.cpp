// Chained hash table over pool nodes.
#include <cstring>

#include "dsthash.h"

// Blocked Bloom filter over (bucket, tag) pairs: a pair's hash picks one
// 64-byte block and kBits bit positions in it.
struct dst_hash_filter_rec {
  uint64_t* blocks;  // nblocks * 8 words, 64-byte aligned inside `raw`
  size_t nblocks;
  size_t tag_offset;
  void* raw;
};

namespace {

constexpr dst_hash_size_rec row(size_t buckets, size_t blkobjs) {
  return {buckets, blkobjs, UINT64_MAX / buckets + 1};
}

void* entry_of(const DSTHashTable ht, DSTHashList node) {
  return reinterpret_cast<char*>(node) + ht->align;
}

// The tag that `entry` carries at byte `offset`.
uint32_t tag_at(const void* entry, size_t offset) {
  uint32_t tag;
  memcpy(&tag, static_cast<const char*>(entry) + offset, sizeof tag);
  return tag;
}

uint32_t tag_of(const DSTHashTable ht, DSTHashList node, size_t offset) {
  return tag_at(entry_of(ht, node), offset);
}

constexpr size_t kBlockWords = 8;
constexpr int kBits = 6;
// Filter bits per bucket: about 10 per entry when the table is fullest.
constexpr size_t kBitsPerBucket = 30;

DSTHashFilter filter_create(SYSHandle hdl, size_t tblsz, size_t tag_offset) {
  DSTHashFilter f = static_cast<DSTHashFilter>(hdl->memalloc(hdl, sizeof *f));
  f->nblocks = (tblsz * kBitsPerBucket + 511) / 512;
  f->tag_offset = tag_offset;
  f->raw = hdl->clralloc(hdl, f->nblocks + 1, kBlockWords * sizeof(uint64_t));
  const uintptr_t a = reinterpret_cast<uintptr_t>(f->raw);
  f->blocks = reinterpret_cast<uint64_t*>((a + 63) & ~uintptr_t{63});
  return f;
}

void filter_free(SYSHandle hdl, DSTHashFilter f) {
  if (!f) return;
  hdl->memfree(hdl, f->raw);
  hdl->memfree(hdl, f);
}

// The 64-bit hash of a (bucket, tag) pair: its high bits choose the block
// (filter_block), bits 10 to 63 of its product with an odd constant the
// positions inside it (filter_positions).
inline uint64_t filter_hash(size_t bucket, uint32_t tag) {
  uint64_t x = (static_cast<uint64_t>(bucket) << 32) | tag;
  x ^= x >> 30;
  x *= 0xBF58476D1CE4E5B9u;
  x ^= x >> 27;
  x *= 0x94D049BB133111EBu;
  return x ^ (x >> 31);
}

inline uint64_t* filter_block(DSTHashFilter f, uint64_t h) {
  return f->blocks +
         kBlockWords * static_cast<size_t>((static_cast<unsigned __int128>(h) * f->nblocks) >> 64);
}

inline uint64_t filter_positions(uint64_t h) {
  return (h * 0x9E3779B97F4A7C15u) >> 10;
}

void filter_add(DSTHashFilter f, uint64_t h) {
  uint64_t* block = filter_block(f, h);
  for (uint64_t p = filter_positions(h), i = 0; i < kBits; i++, p >>= 9) {
    block[(p >> 6) & 7] |= uint64_t{1} << (p & 63);
  }
}

bool filter_may_hold(const uint64_t* block, uint64_t h) {
  bool all = true;
  for (uint64_t p = filter_positions(h), i = 0; i < kBits; i++, p >>= 9) {
    all &= (block[(p >> 6) & 7] >> (p & 63)) & 1;
  }
  return all;
}

// Links a copy of `entry` at the head of its chain.
void link_entry(DSTHashTable ht, const void* entry) {
  size_t b = ht->hfunc(ht->data, entry, ht->tblsz);
  if (ht->filter) filter_add(ht->filter, filter_hash(b, tag_at(entry, ht->filter->tag_offset)));
  DSTHashList node = static_cast<DSTHashList>(DSTPoolGet(ht->pool));
  node->next = ht->array[b];
  ht->array[b] = node;
  memcpy(entry_of(ht, node), entry, ht->entrysz);
  ht->cnt++;
}

// Rehashes into about twice the buckets. Chains are walked bucket 0 upward,
// head to tail, and each entry goes to the head of its new chain; the node pool
// carries over, so each old node is recycled right after its entry moved, and
// a filter is rebuilt for the new buckets as the entries are linked.
// Nodes are taken in batches whose string keys (for DSTStrHash) and next
// buckets' nodes are prefetched before they are rehashed, in the same order.
void grow(DSTHashTable ht) {
  DSTHashTable nt =
      DSTHashCreate(ht->hdl, 2 * ht->tblsz, ht->entrysz, ht->cmp, ht->hfunc, ht->data);
  ht->pool->blksz = nt->pool->blksz;
  ht->hdl->memfree(ht->hdl, nt->pool);
  nt->pool = ht->pool;
  if (ht->filter) nt->filter = filter_create(ht->hdl, nt->tblsz, ht->filter->tag_offset);
  constexpr int kBatch = 32;
  constexpr size_t kAhead = 16;
  const bool str_keys = ht->hfunc == DSTStrHash;
  DSTHashList batch[kBatch];
  int nbatch = 0;
  auto drain = [&] {
    for (int k = 0; k < nbatch; k++) {
      link_entry(nt, entry_of(ht, batch[k]));
      DSTPoolRelease(ht->pool, batch[k]);
    }
    nbatch = 0;
  };
  for (size_t b = 0; b < ht->tblsz; b++) {
    if (b + kAhead < ht->tblsz && ht->array[b + kAhead]) __builtin_prefetch(ht->array[b + kAhead]);
    for (DSTHashList node = ht->array[b]; node;) {
      DSTHashList next = node->next;  // a drained node is recycled at once
      if (str_keys) __builtin_prefetch(*static_cast<void**>(entry_of(ht, node)));
      batch[nbatch++] = node;
      if (nbatch == kBatch) drain();
      node = next;
    }
  }
  drain();
  filter_free(ht->hdl, ht->filter);
  ht->hdl->memfree(ht->hdl, ht->array);
  *ht = *nt;
  ht->hdl->memfree(ht->hdl, nt);
}

}  // namespace

const dst_hash_size_rec dsthashsz[DST_HASH_NSIZES] = {
    row(3, 2),
    row(7, 4),
    row(13, 8),
    row(29, 16),
    row(53, 32),
    row(97, 64),
    row(193, 128),
    row(389, 256),
    row(769, 512),
    row(1543, 1024),
    row(3079, 2048),
    row(6151, 4096),
    row(12289, 8192),
    row(24593, 8192),
    row(49157, 8192),
    row(98317, 8192),
    row(196613, 8192),
    row(393241, 8192),
    row(786433, 8192),
    row(1572869, 8192),
    row(3145739, 8192),
    row(6291469, 8192),
    row(12582917, 8192),
    row(25165843, 8192),
    row(50331653, 8192),
    row(100663319, 8192),
    row(201326611, 8192),
    row(402653189, 8192),
    row(805306457, 8192),
};

DSTHashTable DSTHashCreate(SYSHandle hdl, size_t size, size_t entrysz, DSTCmpFunc cmp,
                           DSTHashFunc hfunc, void* data) {
  int r = 0;
  while (r < DST_HASH_NSIZES - 1 && dsthashsz[r].buckets < size) r++;
  DSTHashTable ht = static_cast<DSTHashTable>(hdl->memalloc(hdl, sizeof(dst_hash_table_rec)));
  ht->array =
      static_cast<DSTHashList*>(hdl->clralloc(hdl, dsthashsz[r].buckets, sizeof(DSTHashList)));
  ht->align = SYSAlignment(hdl);
  ht->pool = DSTPoolCreate(hdl, entrysz + ht->align, dsthashsz[r].blkobjs);
  ht->data = data;
  ht->tblsz = dsthashsz[r].buckets;
  ht->entrysz = entrysz;
  ht->cmp = cmp;
  ht->hfunc = hfunc;
  ht->hdl = hdl;
  ht->cnt = 0;
  ht->filter = nullptr;
  return ht;
}

void DSTHashInsert(DSTHashTable ht, const void* entry) {
  if (ht->cnt > 3 * ht->tblsz) grow(ht);
  link_entry(ht, entry);
}

void DSTHashEnableFilter(DSTHashTable ht, size_t tag_offset) {
  filter_free(ht->hdl, ht->filter);
  ht->filter = filter_create(ht->hdl, ht->tblsz, tag_offset);
  for (size_t b = 0; b < ht->tblsz; b++) {
    for (DSTHashList node = ht->array[b]; node; node = node->next) {
      filter_add(ht->filter, filter_hash(b, tag_of(ht, node, tag_offset)));
    }
  }
}

void* DSTHashFind(DSTHashTable ht, const void* probe) {
  size_t b = ht->hfunc(ht->data, probe, ht->tblsz);
  for (DSTHashList node = ht->array[b]; node; node = node->next) {
    void* stored = entry_of(ht, node);
    if (ht->cmp(ht->data, probe, stored) == 0) return stored;
  }
  return nullptr;
}

void DSTHashFindBatch(DSTHashTable ht, const void* const* probes, int k, void** found,
                      const size_t* buckets, const uint32_t* tags, size_t tag_offset) {
  constexpr int kChunk = 64;
  const bool str_keys = ht->cmp == DSTStrCmp;
  const DSTHashFilter filter =
      tags && ht->filter && ht->filter->tag_offset == tag_offset ? ht->filter : nullptr;
  // Every chain is walked one step per round, and what a step reads was
  // prefetched a round earlier: the bucket's head, then the node, then (for
  // string keys) the stored string, compared in the round after. The probes
  // of a chunk are independent, so their loads overlap.
  enum Stage : unsigned char { kHead, kKey, kCompare };
  for (int base = 0; base < k; base += kChunk) {
    const int n = k - base < kChunk ? k - base : kChunk;
    const void* const* probe = probes + base;
    void** result = found + base;
    size_t bucket[kChunk];
    DSTHashList node[kChunk];
    Stage stage[kChunk];
    int pending[kChunk];
    for (int j = 0; j < n; j++) {
      bucket[j] = buckets ? buckets[base + j] : ht->hfunc(ht->data, probe[j], ht->tblsz);
      result[j] = nullptr;
      stage[j] = kHead;
    }
    int npending = 0;
    if (filter) {
      // The filter's blocks are fetched for all probes first; only the probes
      // it may hold go on to the bucket array.
      uint64_t fhash[kChunk];
      const uint64_t* block[kChunk];
      for (int j = 0; j < n; j++) {
        fhash[j] = filter_hash(bucket[j], tags[base + j]);
        block[j] = filter_block(filter, fhash[j]);
        __builtin_prefetch(block[j]);
      }
      for (int j = 0; j < n; j++) {
        if (!filter_may_hold(block[j], fhash[j])) continue;
        __builtin_prefetch(&ht->array[bucket[j]]);
        pending[npending++] = j;
      }
    } else {
      for (int j = 0; j < n; j++) {
        __builtin_prefetch(&ht->array[bucket[j]]);
        pending[npending++] = j;
      }
    }
    while (npending > 0) {
      int still = 0;
      for (int p = 0; p < npending; p++) {
        const int j = pending[p];
        switch (stage[j]) {
          case kHead:
            node[j] = ht->array[bucket[j]];
            break;
          case kKey:
            if (!tags || tag_of(ht, node[j], tag_offset) == tags[base + j]) {
              __builtin_prefetch(*static_cast<void**>(entry_of(ht, node[j])));
              stage[j] = kCompare;
              pending[still++] = j;
              continue;
            }
            node[j] = node[j]->next;  // another key: its string is never read
            break;
          case kCompare: {
            void* stored = entry_of(ht, node[j]);
            if ((!tags || tag_of(ht, node[j], tag_offset) == tags[base + j]) &&
                ht->cmp(ht->data, probe[j], stored) == 0) {
              result[j] = stored;
              continue;
            }
            node[j] = node[j]->next;
            break;
          }
        }
        if (!node[j]) continue;  // end of the chain: not found
        __builtin_prefetch(node[j]);
        stage[j] = str_keys ? kKey : kCompare;
        pending[still++] = j;
      }
      npending = still;
    }
  }
}

void DSTHashWalk(DSTHashTable ht, void (*fn)(void* arg, void* entry), void* arg) {
  for (size_t b = 0; b < ht->tblsz; b++) {
    for (DSTHashList node = ht->array[b]; node; node = node->next) fn(arg, entry_of(ht, node));
  }
}

void DSTHashFree(DSTHashTable ht) {
  SYSHandle hdl = ht->hdl;
  DSTPoolFree(ht->pool);
  filter_free(hdl, ht->filter);
  hdl->memfree(hdl, ht->array);
  hdl->memfree(hdl, ht);
}
