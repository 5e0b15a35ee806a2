// Chained hash table over pool nodes.
#include <cstring>

#include "dsthash.h"

namespace {

constexpr dst_hash_size_rec row(size_t buckets, size_t blkobjs) {
  return {buckets, blkobjs, UINT64_MAX / buckets + 1};
}

void* entry_of(const DSTHashTable ht, DSTHashList node) {
  return reinterpret_cast<char*>(node) + ht->align;
}

// Links a copy of `entry` at the head of its chain.
void link_entry(DSTHashTable ht, const void* entry) {
  size_t b = ht->hfunc(ht->data, entry, ht->tblsz);
  DSTHashList node = static_cast<DSTHashList>(DSTPoolGet(ht->pool));
  node->next = ht->array[b];
  ht->array[b] = node;
  memcpy(entry_of(ht, node), entry, ht->entrysz);
  ht->cnt++;
}

// Rehashes into about twice the buckets. Chains are walked bucket 0 upward,
// head to tail, and each entry goes to the head of its new chain; the node pool
// carries over, so each old node is recycled right after its entry moved.
void grow(DSTHashTable ht) {
  DSTHashTable nt =
      DSTHashCreate(ht->hdl, 2 * ht->tblsz, ht->entrysz, ht->cmp, ht->hfunc, ht->data);
  ht->pool->blksz = nt->pool->blksz;
  ht->hdl->memfree(ht->hdl, nt->pool);
  nt->pool = ht->pool;
  for (size_t b = 0; b < ht->tblsz; b++) {
    for (DSTHashList node = ht->array[b]; node;) {
      DSTHashList next = node->next;
      link_entry(nt, entry_of(ht, node));
      DSTPoolRelease(ht->pool, node);
      node = next;
    }
  }
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
  return ht;
}

void DSTHashInsert(DSTHashTable ht, const void* entry) {
  if (ht->cnt > 3 * ht->tblsz) grow(ht);
  link_entry(ht, entry);
}

void* DSTHashFind(DSTHashTable ht, const void* probe) {
  size_t b = ht->hfunc(ht->data, probe, ht->tblsz);
  for (DSTHashList node = ht->array[b]; node; node = node->next) {
    void* stored = entry_of(ht, node);
    if (ht->cmp(ht->data, probe, stored) == 0) return stored;
  }
  return nullptr;
}

void DSTHashFindBatch(DSTHashTable ht, const void* const* probes, int k, void** found) {
  constexpr int kChunk = 64;
  const bool str_keys = ht->cmp == DSTStrCmp;
  for (int base = 0; base < k; base += kChunk) {
    const int n = k - base < kChunk ? k - base : kChunk;
    const void* const* probe = probes + base;
    void** result = found + base;
    size_t bucket[kChunk];
    for (int j = 0; j < n; j++) {
      bucket[j] = ht->hfunc(ht->data, probe[j], ht->tblsz);
      __builtin_prefetch(&ht->array[bucket[j]]);
    }
    // Walk all chains one node per round: each round first touches every
    // pending node (and, for string keys, the stored string), then compares.
    DSTHashList node[kChunk];
    int pending[kChunk];
    int npending = 0;
    for (int j = 0; j < n; j++) {
      result[j] = nullptr;
      node[j] = ht->array[bucket[j]];
      if (node[j]) {
        __builtin_prefetch(node[j]);
        pending[npending++] = j;
      }
    }
    while (npending > 0) {
      if (str_keys) {
        for (int p = 0; p < npending; p++) {
          __builtin_prefetch(*static_cast<void**>(entry_of(ht, node[pending[p]])));
        }
      }
      int still = 0;
      for (int p = 0; p < npending; p++) {
        const int j = pending[p];
        void* stored = entry_of(ht, node[j]);
        if (ht->cmp(ht->data, probe[j], stored) == 0) {
          result[j] = stored;
        } else if ((node[j] = node[j]->next)) {
          __builtin_prefetch(node[j]);
          pending[still++] = j;
        }
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
  hdl->memfree(hdl, ht->array);
  hdl->memfree(hdl, ht);
}
