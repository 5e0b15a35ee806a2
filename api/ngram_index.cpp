// N-gram index of a dictionary: token vocabulary and integer-keyed n-gram table.
#include "ngram_index.h"

#include <algorithm>
#include <array>
#include <climits>
#include <cstring>

#include "loadfeats.h"

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kMix = 0xBF58476D1CE4E5B9ULL;

// Whether c ends a line's token: a delimiter or the terminating NUL.
inline bool ends_token(unsigned char c) {
  // Bits of ' ' (32), ',' (44), '\t' (9), '\n' (10) and NUL (0).
  constexpr uint64_t kEnds = (1ULL << 0) | (1ULL << 9) | (1ULL << 10) | (1ULL << 32) | (1ULL << 44);
  return c < 64 && ((kEnds >> c) & 1);
}

// Reads a token from p up to the first byte at which at_end(byte pointer)
// holds and returns that end. `head` gets the token's first 8 bytes (byte k
// in bits 8k to 8k + 7, zero-padded) and `hash` a hash of all of them, taken
// 8 bytes at a time. Dictionary keys and lines both go through here, so their
// tokens hash alike.
template <class AtEnd>
[[gnu::always_inline]] inline const unsigned char* scan_token(const unsigned char* p, AtEnd at_end,
                                                             uint64_t& hash, uint64_t& head) {
  const unsigned char* start = p;
  uint64_t word = 0;
  unsigned shift = 0;
  for (; shift < 64 && !at_end(p); p++, shift += 8) word |= uint64_t{*p} << shift;
  head = word;
  uint64_t h = word * kGolden;
  while (shift == 64 && !at_end(p)) {
    word = 0;
    shift = 0;
    for (; shift < 64 && !at_end(p); p++, shift += 8) word |= uint64_t{*p} << shift;
    h = (h ^ word) * kGolden;
  }
  h = (h ^ static_cast<uint64_t>(p - start)) * kMix;
  hash = h ^ (h >> 31);
  return p;
}

// What a byte of a dictionary key means to the key's split into pieces.
enum KeyByte : uint8_t { kOrdinary, kUnderscore, kPieceEnd, kNeverInToken };
constexpr auto kKeyBytes = [] {
  std::array<KeyByte, 256> kinds{};
  kinds['_'] = kUnderscore;
  kinds[' '] = kinds['\0'] = kPieceEnd;
  kinds['\t'] = kinds[','] = kNeverInToken;
  return kinds;
}();

template <class T>
T* allocate(size_t count) {
  return static_cast<T*>(SYSDefaultHandle->clralloc(SYSDefaultHandle, count, sizeof(T)));
}

void release(void* p) {
  if (p) SYSDefaultHandle->memfree(SYSDefaultHandle, p);
}

// The value of a position's decimal digits [s, end): canonical (no sign, no
// leading zero), from 1 to INT_MAX, as a line's positions are written; else 0.
int32_t position_of(const char* s, const char* end) {
  if (s == end || end - s > 10 || *s == '0') return 0;
  long long v = 0;
  for (; s != end; s++) {
    if (*s < '0' || *s > '9') return 0;
    v = v * 10 + (*s - '0');
  }
  return v <= INT_MAX ? static_cast<int32_t>(v) : 0;
}

}  // namespace

// Buckets of three slots fill one cache line, so a probe mostly reads one line.
struct NgramIndex::Bucket {
  Gram keys[kBucketSlots];
  int32_t values[kBucketSlots];
  uint32_t unused;
};

NgramIndex::TokenKey NgramIndex::token_key(const char* s, size_t len) {
  TokenKey key{s, len, 0, 0};
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  scan_token(bytes, [end = bytes + len](const unsigned char* q) { return q == end; }, key.hash,
             key.head);
  return key;
}

[[gnu::always_inline]] inline NgramIndex::TokenSlot NgramIndex::slot_of(const TokenKey& t,
                                                                         uint32_t id) {
  return TokenSlot{t.head, id + 1, static_cast<uint16_t>(std::min<size_t>(t.length, UINT16_MAX)),
                   static_cast<uint16_t>(t.hash)};
}

[[gnu::always_inline]] inline NgramIndex::Place NgramIndex::place_of(const Gram& g) const {
  uint64_t x = ((uint64_t{g.last} << 32 | static_cast<uint32_t>(g.pos)) * kGolden) ^
               ((uint64_t{g.first} << 32 | g.second) * 0xC2B2AE3D27D4EB4FULL);
  x = (x ^ (x >> 29)) * kMix;
  const uint32_t fingerprint = static_cast<uint32_t>(x >> 8) & 0xFF;
  return Place{static_cast<size_t>((static_cast<unsigned __int128>(x) * nbuckets_) >> 64),
               fingerprint ? fingerprint : 1};
}

[[gnu::always_inline]] inline size_t NgramIndex::pair_bit_of(int32_t pos, uint32_t last) const {
  return static_cast<size_t>(((uint64_t{last} << 32 | static_cast<uint32_t>(pos)) * kMix) >>
                             (64 - pair_bits_));
}

int32_t NgramIndex::lookup(const Gram& g, Place at) const {
  const bool overflowed = (filters_[at.bucket] & kOverflowed) != 0;
  for (size_t b = at.bucket;; b = b + 1 == nbuckets_ ? 0 : b + 1) {
    const uint32_t filter = filters_[b];
    for (int s = 0; s < kBucketSlots; s++) {
      const uint32_t fingerprint = (filter >> (8 * s)) & 0xFF;
      if (fingerprint == 0) return -1;
      if (fingerprint == at.fingerprint && buckets_[b].keys[s] == g) return buckets_[b].values[s];
    }
    if (!overflowed) return -1;
  }
}

[[gnu::always_inline]] inline uint32_t NgramIndex::token_id(const TokenKey& t) const {
  const size_t mask = (size_t{1} << token_bits_) - 1;
  const TokenSlot want = slot_of(t, 0);
  for (size_t at = t.hash >> (64 - token_bits_);; at = (at + 1) & mask) {
    const TokenSlot& slot = token_slots_[at];
    if (slot.id == 0) return kNoToken;
    if (slot.head != want.head || slot.length != want.length || slot.tag != want.tag) continue;
    // Equal heads and lengths settle tokens of up to 8 bytes, which hold no NUL.
    if (t.length <= 8) return slot.id - 1;
    const Token& known = tokens_[slot.id - 1];
    if (known.length == t.length &&
        memcmp(token_bytes_ + known.offset + 8, t.bytes + 8, t.length - 8) == 0)
      return slot.id - 1;
  }
}

uint32_t NgramIndex::add_token(const TokenKey& key) {
  const char* s = key.bytes;
  const size_t len = key.length;
  const uint32_t known = token_id(key);
  if (known != kNoToken) return known;
  // At most 7 slots in 10 are used.
  if (10 * (ntokens_ + 1) > 7 * (size_t{1} << token_bits_)) grow_tokens();
  if (ntokens_ == token_room_) {
    token_room_ = 2 * token_room_;
    tokens_ = static_cast<Token*>(
        SYSDefaultHandle->realloc(SYSDefaultHandle, tokens_, token_room_ * sizeof(Token)));
  }
  if (len > UINT32_MAX - bytes_used_)
    SYSDefaultHandle->error(SYSDefaultHandle, "memory allocation failed");
  while (bytes_room_ - bytes_used_ < len) {
    bytes_room_ *= 2;
    token_bytes_ =
        static_cast<char*>(SYSDefaultHandle->realloc(SYSDefaultHandle, token_bytes_, bytes_room_));
  }
  memcpy(token_bytes_ + bytes_used_, s, len);
  tokens_[ntokens_] = Token{static_cast<uint32_t>(bytes_used_), static_cast<uint32_t>(len)};
  bytes_used_ += len;
  place_token(key, static_cast<uint32_t>(ntokens_));
  return static_cast<uint32_t>(ntokens_++);
}

void NgramIndex::place_token(const TokenKey& key, uint32_t id) {
  const size_t mask = (size_t{1} << token_bits_) - 1;
  size_t at = key.hash >> (64 - token_bits_);
  while (token_slots_[at].id != 0) at = (at + 1) & mask;
  token_slots_[at] = slot_of(key, id);
}

void NgramIndex::grow_tokens() {
  release(token_slots_);
  token_bits_++;
  token_slots_ = allocate<TokenSlot>(size_t{1} << token_bits_);
  for (size_t id = 0; id < ntokens_; id++)
    place_token(token_key(token_bytes_ + tokens_[id].offset, tokens_[id].length),
                static_cast<uint32_t>(id));
}

void NgramIndex::add(const char* key, int value) {
  // Split "tok_pos[ tok_pos[ tok_pos]]" into its pieces; a key of any other
  // shape is left out.
  TokenKey token[3];
  int32_t pos[3];
  int n = 0;
  for (const char* p = key;; p++) {
    const char* start = p;
    const char* underscore = nullptr;
    for (KeyByte kind; (kind = kKeyBytes[static_cast<unsigned char>(*p)]) != kPieceEnd; p++) {
      if (kind == kNeverInToken) return;
      if (kind == kUnderscore) underscore = p;
    }
    if (n == 3 || !underscore || underscore == start) return;
    pos[n] = position_of(underscore + 1, p);
    if (pos[n] == 0 || (n > 0 && pos[n] - 1 != pos[n - 1])) return;
    token[n++] = token_key(start, static_cast<size_t>(underscore - start));
    if (!*p) break;
  }
  uint32_t id[3] = {kNoToken, kNoToken, kNoToken};
  for (int k = 0; k < n; k++) id[3 - n + k] = add_token(token[k]);
  const Gram g{pos[n - 1], id[0], id[1], id[2]};
  const size_t bit = pair_bit_of(g.pos, g.last);
  pairs_[bit / 64] |= uint64_t{1} << (bit % 64);
  // The bucket is fetched now and written a few keys later.
  const Place at = place_of(g);
  __builtin_prefetch(buckets_ + at.bucket, 1);
  __builtin_prefetch(filters_ + at.bucket, 1);
  pending_[npending_++] = Pending{g, at, key, value};
  if (npending_ == kQueue) insert_pending();
}

void NgramIndex::insert_pending() {
  for (int k = 0; k < npending_; k++) {
    const Pending& key = pending_[k];
    for (size_t b = key.place.bucket;; b = b + 1 == nbuckets_ ? 0 : b + 1) {
      Bucket& bucket = buckets_[b];
      int s = 0;
      while (s < kBucketSlots && ((filters_[b] >> (8 * s)) & 0xFF) != 0 &&
             !(bucket.keys[s] == key.gram))
        s++;
      if (s == kBucketSlots) {
        filters_[key.place.bucket] |= kOverflowed;
        continue;
      }
      if (((filters_[b] >> (8 * s)) & 0xFF) == 0) {
        bucket.keys[s] = key.gram;
        bucket.values[s] = key.value;
        filters_[b] |= key.place.fingerprint << (8 * s);
      } else {
        if (nduplicates_ == duplicate_room_) {
          duplicate_room_ = std::max<size_t>(16, 2 * duplicate_room_);
          duplicates_ = static_cast<Duplicate*>(SYSDefaultHandle->realloc(
              SYSDefaultHandle, duplicates_, duplicate_room_ * sizeof(Duplicate)));
        }
        duplicates_[nduplicates_++] = Duplicate{&bucket.values[s], key.key};
      }
      break;
    }
  }
  npending_ = 0;
}

void NgramIndex::finish(DSTHashTable dictionary) {
  insert_pending();
  // Which of equal keys the table finds depends on its insertion and growth
  // history: ask it.
  for (size_t k = 0; k < nduplicates_; k++)
    *duplicates_[k].value = MapWord2Ind(duplicates_[k].key, dictionary);
  release(duplicates_);
  duplicates_ = nullptr;
  nduplicates_ = duplicate_room_ = 0;
}

NgramIndex::NgramIndex(size_t entries) {
  try {
    // At most two thirds of the slots are used, so that most probes end in
    // their first bucket.
    nbuckets_ = entries / 2 + 1;
    static_assert(sizeof(Bucket) == 64, "a bucket is a cache line");
    // One bucket more than needed, to start the buckets at a cache line.
    bucket_block_ = allocate<Bucket>(nbuckets_ + 1);
    buckets_ = reinterpret_cast<Bucket*>((reinterpret_cast<uintptr_t>(bucket_block_) + 63) &
                                         ~uintptr_t{63});
    filters_ = allocate<uint32_t>(nbuckets_);
    pair_bits_ = 6;
    while ((size_t{1} << pair_bits_) < 4 * entries) pair_bits_++;
    pairs_ = allocate<uint64_t>((size_t{1} << pair_bits_) / 64);
    token_bits_ = 10;
    token_slots_ = allocate<TokenSlot>(size_t{1} << token_bits_);
    token_room_ = 256;
    tokens_ = allocate<Token>(token_room_);
    bytes_room_ = 4096;
    token_bytes_ = allocate<char>(bytes_room_);
  } catch (...) {
    this->~NgramIndex();
    throw;
  }
}

NgramIndex::~NgramIndex() {
  release(bucket_block_);
  release(filters_);
  release(pairs_);
  release(token_slots_);
  release(tokens_);
  release(token_bytes_);
  release(duplicates_);
}

int NgramIndex::find(const char* line, int* out, int capacity) const {
  // The tokens of a line are taken a batch at a time, in five rounds that
  // each read memory fetched during the round before, so that the fetches of
  // a round overlap: the token slots are fetched as the tokens are scanned,
  // the pair filter's words as the tokens' ids are found, the filter words as
  // the grams are formed, the buckets of the grams whose fingerprint is in
  // their filter, and then those buckets are read.
  constexpr int kTokens = 21;
  constexpr int kGrams = 3 * kTokens;
  TokenKey tokens[kTokens];
  Gram grams[kGrams];
  Place places[kGrams];
  bool candidate[kGrams];
  uint32_t before_last = kNoToken, last = kNoToken;
  int32_t pos = 0;
  int written = 0;
  const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
  while (written < capacity) {
    int ntokens = 0;
    for (; ntokens < kTokens; ntokens++) {
      while (*p && ends_token(*p)) p++;
      // No key has a later position than INT32_MAX.
      if (!*p || pos + ntokens == INT32_MAX) break;
      TokenKey& t = tokens[ntokens];
      t.bytes = reinterpret_cast<const char*>(p);
      p = scan_token(p, [](const unsigned char* q) { return ends_token(*q); }, t.hash, t.head);
      t.length = static_cast<size_t>(reinterpret_cast<const char*>(p) - t.bytes);
      __builtin_prefetch(token_slots_ + (t.hash >> (64 - token_bits_)));
    }
    if (ntokens == 0) break;

    uint32_t ids[kTokens];
    size_t pair_bit[kTokens];
    for (int k = 0; k < ntokens; k++) {
      ids[k] = token_id(tokens[k]);
      if (ids[k] == kNoToken) continue;  // ends no gram: no bit to read
      pair_bit[k] = pair_bit_of(pos + 1 + k, ids[k]);
      __builtin_prefetch(pairs_ + pair_bit[k] / 64);
    }

    int ngrams = 0;
    auto probe = [&](const Gram& g) {
      places[ngrams] = place_of(g);
      __builtin_prefetch(filters_ + places[ngrams].bucket);
      grams[ngrams++] = g;
    };
    for (int k = 0; k < ntokens; k++) {
      const uint32_t id = ids[k];
      pos++;
      // No gram ends here unless the position and token are some key's last.
      if (id != kNoToken && ((pairs_[pair_bit[k] / 64] >> (pair_bit[k] % 64)) & 1)) {
        probe(Gram{pos, kNoToken, kNoToken, id});
        if (last != kNoToken) {
          probe(Gram{pos, kNoToken, last, id});
          if (before_last != kNoToken) probe(Gram{pos, before_last, last, id});
        }
      }
      before_last = last;
      last = id;
    }

    for (int k = 0; k < ngrams; k++) {
      const uint32_t filter = filters_[places[k].bucket];
      // A fingerprint byte equal to the gram's, or grams of this bucket
      // placed in the next ones.
      const uint32_t diff = filter ^ (places[k].fingerprint * 0x010101u);
      candidate[k] = (filter & kOverflowed) || (diff & 0xFF) == 0 || (diff & 0xFF00) == 0 ||
                     (diff & 0xFF0000) == 0;
      if (candidate[k]) __builtin_prefetch(buckets_ + places[k].bucket);
    }
    for (int k = 0; k < ngrams && written < capacity; k++) {
      if (!candidate[k]) continue;
      const int32_t value = lookup(grams[k], places[k]);
      if (value >= 0) out[written++] = value;
    }
    if (ntokens < kTokens) break;
  }
  return written;
}
