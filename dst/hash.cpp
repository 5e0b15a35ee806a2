// Chained hash table over pool nodes.
#include <cstring>

#include "dsthash.h"

// Packed chains. The low half of heads[b] is where bucket b's records start in
// `bytes`, in units of the table's alignment; they end where bucket b + 1's
// start. Its high half ORs the tag_bits of the records' tags (0 untagged). A
// record is an entry, then (string keys) the key's length and the key with
// its NUL (record_size).
struct dst_hash_pack_rec {
  uint64_t* heads;  // tblsz + 1 words
  char* bytes;
  bool str_keys;
  size_t tag_offset;  // DST_UNTAGGED or where entries hold their tag
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

// Three bits of a 32-bit mask chosen by a tag: a probe whose bits are not all in
// its bucket's mask matches no record there.
inline uint32_t tag_bits(uint32_t tag) {
  uint32_t h = tag * 0x9E3779B1u;
  return (1u << (h >> 27)) | (1u << ((h >> 22) & 31)) | (1u << ((h >> 17) & 31));
}

void pack_free(SYSHandle hdl, DSTHashPack pack) {
  if (!pack) return;
  hdl->memfree(hdl, pack->heads);
  hdl->memfree(hdl, pack->bytes);
  hdl->memfree(hdl, pack);
}

// Length of the key copied after a packed entry.
inline uint32_t packed_key_length(const DSTHashTable ht, const char* entry) {
  uint32_t len;
  memcpy(&len, entry + ht->entrysz, sizeof len);
  return len;
}

// Bytes of a packed record: the entry, then for string keys the key's length
// (uint32_t), the key and its NUL; padded to the alignment.
inline size_t record_size(const DSTHashTable ht, bool str_keys, size_t keylen) {
  size_t n = ht->entrysz + (str_keys ? sizeof(uint32_t) + keylen + 1 : 0);
  return (n + ht->align - 1) / ht->align * ht->align;
}

// Links a copy of `entry` at the head of chain b.
void link_entry(DSTHashTable ht, const void* entry, size_t b) {
  DSTHashList node = static_cast<DSTHashList>(DSTPoolGet(ht->pool));
  node->next = ht->array[b];
  ht->array[b] = node;
  memcpy(entry_of(ht, node), entry, ht->entrysz);
  ht->cnt++;
}

// Hands every node to drain in batches of up to kWalkBatch (node and bucket),
// bucket 0 upward, each chain head to tail; a node's successor is read before
// its batch is drained, so drain may recycle the nodes. The chains are far
// apart in memory: a bucket's head is fetched 16 buckets before its walk, its
// second node 8 and its third 4 before, and string keys (the entry's first
// word, for DSTStrCmp tables) when their node joins the batch.
constexpr int kWalkBatch = 32;
template <class Drain>
void walk_in_batches(DSTHashTable ht, Drain&& drain) {
  constexpr size_t kAhead = 16;
  const bool str_keys = ht->cmp == DSTStrCmp;
  DSTHashList nodes[kWalkBatch];
  size_t buckets[kWalkBatch];
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
      nodes[n] = node;
      buckets[n++] = b;
      if (n == kWalkBatch) {
        drain(nodes, buckets, n);
        n = 0;
      }
      node = next;
    }
  }
  if (n > 0) drain(nodes, buckets, n);
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
  walk_in_batches(ht, [&](const DSTHashList* nodes, const size_t*, int n) {
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
  ht->pack = nullptr;
  return ht;
}

void DSTHashInsertBatch(DSTHashTable ht, const void* entries, int k) {
  pack_free(ht->hdl, ht->pack);
  ht->pack = nullptr;
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
  pack_free(ht->hdl, ht->pack);
  ht->pack = nullptr;
  if (ht->cnt > 3 * ht->tblsz) grow(ht);
  link_entry(ht, entry, ht->hfunc(ht->data, entry, ht->tblsz));
}

void DSTHashPackChains(DSTHashTable ht, size_t tag_offset) {
  SYSHandle hdl = ht->hdl;
  pack_free(hdl, ht->pack);
  ht->pack = nullptr;
  const bool str_keys = ht->cmp == DSTStrCmp;
  const bool tagged = tag_offset != DST_UNTAGGED;
  const size_t align = ht->align;
  // Grown as needed from a first guess of an entry and a short key per entry.
  size_t cap = (ht->cnt + 1) * (ht->entrysz + (str_keys ? 32 : 0) + align);
  char* bytes = static_cast<char*>(hdl->memalloc(hdl, cap));
  uint64_t* heads = static_cast<uint64_t*>(hdl->clralloc(hdl, ht->tblsz + 1, sizeof *heads));
  size_t used = 0;
  bool fits = true;        // every key's length fits a record
  size_t next_bucket = 0;  // the first bucket whose run has no start yet
  auto start_runs_through = [&](size_t bucket) {
    for (; next_bucket <= bucket; next_bucket++) heads[next_bucket] = used / align;
  };
  walk_in_batches(ht, [&](const DSTHashList* nodes, const size_t* buckets, int n) {
    for (int k = 0; k < n; k++) {
      const char* entry = static_cast<const char*>(entry_of(ht, nodes[k]));
      start_runs_through(buckets[k]);
      const char* key = str_keys ? *reinterpret_cast<char* const*>(entry) : nullptr;
      const size_t keylen = str_keys ? strlen(key) : 0;
      const size_t size = record_size(ht, str_keys, keylen);
      if (keylen > UINT32_MAX) fits = false;
      if (!fits) return;
      if (used + size > cap) {
        cap = 2 * cap + size;
        bytes = static_cast<char*>(hdl->realloc(hdl, bytes, cap));
      }
      char* record = bytes + used;
      memset(record, 0, size);
      memcpy(record, entry, ht->entrysz);
      if (str_keys) {
        const uint32_t len = static_cast<uint32_t>(keylen);
        memcpy(record + ht->entrysz, &len, sizeof len);
        memcpy(record + ht->entrysz + sizeof len, key, keylen);
      }
      used += size;
      if (tagged) heads[buckets[k]] |= uint64_t{tag_bits(tag_at(entry, tag_offset))} << 32;
    }
  });
  start_runs_through(ht->tblsz);
  if (!fits || used / align > UINT32_MAX) {  // too large: lookups walk the chains
    hdl->memfree(hdl, bytes);
    hdl->memfree(hdl, heads);
    return;
  }
  ht->pack = static_cast<DSTHashPack>(hdl->memalloc(hdl, sizeof *ht->pack));
  ht->pack->heads = heads;
  ht->pack->bytes = static_cast<char*>(hdl->realloc(hdl, bytes, used > 0 ? used : align));
  ht->pack->str_keys = str_keys;
  ht->pack->tag_offset = tag_offset;
}

size_t DSTHashPackedTagOffset(DSTHashTable ht) {
  return ht->pack ? ht->pack->tag_offset : DST_UNTAGGED;
}

void* DSTHashFind(DSTHashTable ht, const void* probe) {
  size_t b = ht->hfunc(ht->data, probe, ht->tblsz);
  for (DSTHashList node = ht->array[b]; node; node = node->next) {
    void* stored = entry_of(ht, node);
    if (ht->cmp(ht->data, probe, stored) == 0) return stored;
  }
  return nullptr;
}

namespace {

// A batch of at most kMax finds, taken in three steps so that each step's
// loads are all issued before any of them is waited for: start fetches the
// bucket heads, advance reads them and fetches the packed runs, finish walks
// the runs (or, on an unpacked table, the chains).
struct Lookups {
  static constexpr int kMax = 64;
  int n;
  int npending;  // probes still to look at, listed in pending
  bool tagged;
  size_t tag_offset;
  const void* const* probe;
  size_t bucket[kMax];
  const uint32_t* tag;
  int pending[kMax];
  const char* run[kMax];  // a pending probe's packed run
  const char* stop[kMax];
};

// Walks the chains of the pending probes, one step per round: what a step
// reads was prefetched a round earlier (the bucket's head, then the node,
// then for string keys the stored string, compared in the round after). The
// probes are independent, so their loads overlap.
void find_chained(DSTHashTable ht, Lookups& l, void** found) {
  const bool str_keys = ht->cmp == DSTStrCmp;
  const bool tagged = l.tagged;
  enum Stage : unsigned char { kHead, kKey, kCompare };
  DSTHashList node[Lookups::kMax];
  Stage stage[Lookups::kMax];
  int* pending = l.pending;
  int npending = l.npending;
  for (int p = 0; p < npending; p++) stage[pending[p]] = kHead;
  while (npending > 0) {
    int still = 0;
    for (int p = 0; p < npending; p++) {
      const int j = pending[p];
      switch (stage[j]) {
        case kHead:
          node[j] = ht->array[l.bucket[j]];
          break;
        case kKey:
          if (!tagged || tag_of(ht, node[j], l.tag_offset) == l.tag[j]) {
            __builtin_prefetch(*static_cast<void**>(entry_of(ht, node[j])));
            stage[j] = kCompare;
            pending[still++] = j;
            continue;
          }
          node[j] = node[j]->next;  // another key: its string is never read
          break;
        case kCompare: {
          void* stored = entry_of(ht, node[j]);
          if ((!tagged || tag_of(ht, node[j], l.tag_offset) == l.tag[j]) &&
              ht->cmp(ht->data, l.probe[j], stored) == 0) {
            found[j] = stored;
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

void start(DSTHashTable ht, Lookups& l, const void* const* probes, int k, const size_t* buckets,
           const uint32_t* tags, size_t tag_offset) {
  l.n = k;
  l.npending = k;
  l.tagged = tags != nullptr;
  l.tag_offset = tag_offset;
  l.probe = probes;
  l.tag = tags;
  for (int j = 0; j < k; j++) {
    l.bucket[j] = buckets ? buckets[j] : ht->hfunc(ht->data, probes[j], ht->tblsz);
    l.pending[j] = j;
    if (ht->pack)
      __builtin_prefetch(ht->pack->heads + l.bucket[j]);
    else
      __builtin_prefetch(&ht->array[l.bucket[j]]);
  }
}

void advance(DSTHashTable ht, Lookups& l) {
  const DSTHashPack pack = ht->pack;
  if (!pack) return;
  // The heads' masks pass over most absent probes; the runs of the others
  // are fetched.
  const bool masked = l.tagged && pack->tag_offset == l.tag_offset;
  int still = 0;
  for (int p = 0; p < l.npending; p++) {
    const int j = l.pending[p];
    const uint64_t head = pack->heads[l.bucket[j]];
    if (masked) {
      const uint32_t bits = tag_bits(l.tag[j]);
      if ((static_cast<uint32_t>(head >> 32) & bits) != bits) continue;
    }
    l.run[j] = pack->bytes + static_cast<uint32_t>(head) * ht->align;
    l.stop[j] = pack->bytes + static_cast<uint32_t>(pack->heads[l.bucket[j] + 1]) * ht->align;
    if (l.run[j] == l.stop[j]) continue;
    __builtin_prefetch(l.run[j]);
    if (l.stop[j] - l.run[j] > 64) __builtin_prefetch(l.run[j] + 64);
    l.pending[still++] = j;
  }
  l.npending = still;
}

void finish(DSTHashTable ht, Lookups& l, void** found) {
  for (int j = 0; j < l.n; j++) found[j] = nullptr;
  const DSTHashPack pack = ht->pack;
  if (!pack) {
    find_chained(ht, l, found);
    return;
  }
  for (int p = 0; p < l.npending; p++) {
    const int j = l.pending[p];
    if (!pack->str_keys) {
      for (const char* entry = l.run[j]; entry < l.stop[j]; entry += record_size(ht, false, 0)) {
        if ((!l.tagged || tag_at(entry, l.tag_offset) == l.tag[j]) &&
            ht->cmp(ht->data, l.probe[j], entry) == 0) {
          found[j] = const_cast<char*>(entry);
          break;
        }
      }
      continue;
    }
    const char* key = *static_cast<const char* const*>(l.probe[j]);
    const size_t keylen = strlen(key);
    for (const char* entry = l.run[j]; entry < l.stop[j];) {
      const uint32_t len = packed_key_length(ht, entry);
      if ((!l.tagged || tag_at(entry, l.tag_offset) == l.tag[j]) && len == keylen &&
          memcmp(key, entry + ht->entrysz + sizeof len, keylen) == 0) {
        found[j] = const_cast<char*>(entry);
        break;
      }
      entry += record_size(ht, true, len);
    }
  }
}

}  // namespace

void DSTHashFindBatch(DSTHashTable ht, const void* const* probes, int k, void** found,
                      const size_t* buckets, const uint32_t* tags, size_t tag_offset) {
  Lookups l;
  for (int base = 0; base < k; base += Lookups::kMax) {
    const int n = k - base < Lookups::kMax ? k - base : Lookups::kMax;
    start(ht, l, probes + base, n, buckets ? buckets + base : nullptr, tags ? tags + base : nullptr,
          tag_offset);
    advance(ht, l);
    finish(ht, l, found + base);
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
  pack_free(hdl, ht->pack);
  hdl->memfree(hdl, ht->array);
  hdl->memfree(hdl, ht);
}
