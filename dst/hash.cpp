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

// Links a copy of `entry` at the head of chain b.
void link_entry(DSTHashTable ht, const void* entry, size_t b) {
  DSTHashList node = static_cast<DSTHashList>(DSTPoolGet(ht->pool));
  node->next = ht->array[b];
  ht->array[b] = node;
  memcpy(entry_of(ht, node), entry, ht->entrysz);
  ht->cnt++;
}

// Hands every node to drain in batches of up to kWalkBatch, bucket 0 upward,
// each chain head to tail; a node's successor is read before its batch is
// drained, so drain may recycle the nodes. The chains are far apart in memory:
// a bucket's head is fetched 16 buckets before its walk, its second node 8 and
// its third 4 before, and string keys (the entry's first word, for DSTStrCmp
// tables) when their node joins the batch.
constexpr int kWalkBatch = 32;
template <class Drain>
void walk_in_batches(DSTHashTable ht, Drain&& drain) {
  constexpr size_t kAhead = 16;
  const bool str_keys = ht->cmp == DSTStrCmp;
  DSTHashList nodes[kWalkBatch];
  int n = 0;
  for (size_t b = 0; b < ht->tblsz; b++) {
    for (size_t depth = 0, ahead = kAhead; depth < 3 && b + ahead < ht->tblsz;
         depth++, ahead /= 2) {
      DSTHashList node = ht->array[b + ahead];
      for (size_t k = 0; k < depth && node; k++) node = node->next;
      if (node) __builtin_prefetch(node);
    }
    for (DSTHashList node = ht->array[b]; node;) {
      DSTHashList next = node->next;
      if (str_keys) __builtin_prefetch(*static_cast<void**>(entry_of(ht, node)));
      nodes[n++] = node;
      if (n == kWalkBatch) {
        drain(nodes, n);
        n = 0;
      }
      node = next;
    }
  }
  if (n > 0) drain(nodes, n);
}

// Rehashes into about twice the buckets. Chains are walked bucket 0 upward,
// head to tail, and each entry goes to the head of its new chain; the node pool
// carries over, so each old node is recycled right after its entry moved. A
// batch's new buckets are all fetched before its entries are linked.
void grow(DSTHashTable ht) {
  DSTHashTable nt =
      DSTHashCreate(ht->hdl, 2 * ht->tblsz, ht->entrysz, ht->cmp, ht->hfunc, ht->data);
  ht->pool->blksz = nt->pool->blksz;
  ht->hdl->memfree(ht->hdl, nt->pool);
  nt->pool = ht->pool;
  walk_in_batches(ht, [&](const DSTHashList* nodes, int n) {
    size_t to[kWalkBatch];
    for (int k = 0; k < n; k++) {
      to[k] = nt->hfunc(nt->data, entry_of(ht, nodes[k]), nt->tblsz);
      __builtin_prefetch(&nt->array[to[k]]);
    }
    for (int k = 0; k < n; k++) {
      link_entry(nt, entry_of(ht, nodes[k]), to[k]);
      DSTPoolRelease(ht->pool, nodes[k]);
    }
  });
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

void DSTHashInsertBatch(DSTHashTable ht, const void* entries, int k) {
  const char* entry = static_cast<const char*>(entries);
  size_t bucket[kWalkBatch];
  for (int done = 0; done < k;) {
    if (ht->cnt > 3 * ht->tblsz) grow(ht);
    // The entries that go in before the next growth, their buckets fetched
    // before any is linked.
    size_t room = 3 * ht->tblsz - ht->cnt + 1;
    int n = k - done < kWalkBatch ? k - done : kWalkBatch;
    if (static_cast<size_t>(n) > room) n = static_cast<int>(room);
    for (int j = 0; j < n; j++) {
      bucket[j] = ht->hfunc(ht->data, entry + j * ht->entrysz, ht->tblsz);
      __builtin_prefetch(&ht->array[bucket[j]]);
    }
    for (int j = 0; j < n; j++) link_entry(ht, entry + j * ht->entrysz, bucket[j]);
    entry += n * ht->entrysz;
    done += n;
  }
}

void DSTHashInsert(DSTHashTable ht, const void* entry) {
  if (ht->cnt > 3 * ht->tblsz) grow(ht);
  link_entry(ht, entry, ht->hfunc(ht->data, entry, ht->tblsz));
}

void* DSTHashFind(DSTHashTable ht, const void* probe) {
  size_t b = ht->hfunc(ht->data, probe, ht->tblsz);
  for (DSTHashList node = ht->array[b]; node; node = node->next) {
    void* stored = entry_of(ht, node);
    if (ht->cmp(ht->data, probe, stored) == 0) return stored;
  }
  return nullptr;
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
