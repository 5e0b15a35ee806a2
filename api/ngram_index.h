// Exact n-gram lookups without forming the n-gram strings.
//
// A dictionary key such as "ab_7 cd_8 ef_9" can only ever equal the n-gram a
// line forms at token position 9 from the tokens "ab", "cd" and "ef". The
// index keeps, for every key of that shape, the tokens as small integers (a
// vocabulary of the keys' tokens) and the last position; a line's token is
// hashed and looked up once, and its n-grams are probed as integer tuples in
// an open-addressing table. A token the vocabulary lacks ends every n-gram
// that holds it without a probe. Keys that no line can form (other spacing,
// a delimiter inside a token, a position that is not a plain decimal from 1)
// are left out, since no lookup could find them.
//
// Every lookup answers what the dictionary table's own find answers for the
// n-gram's string, duplicate keys included: the value stored for a key met
// twice is asked of the table.
//
// Ownership: the index copies what it needs; it refers to the keys and the
// table only while it is being built. Thread-safety: read-only once built, so
// any number of threads may call find at once.
#ifndef API_NGRAM_INDEX_H
#define API_NGRAM_INDEX_H

#include <cstddef>
#include <cstdint>

#include "dsthash.h"

class NgramIndex {
 public:
  // An index for at most `entries` keys. Allocation failures throw DSTError.
  explicit NgramIndex(size_t entries);
  ~NgramIndex();
  NgramIndex(const NgramIndex&) = delete;
  NgramIndex& operator=(const NgramIndex&) = delete;

  // Adds a key of the dictionary with the value of its entry. The key must
  // stay in place until finish.
  void add(const char* key, int value);
  // Completes the index after the last add: a key added more than once gets
  // the value that `dictionary`, which holds every key added, finds for it.
  void finish(DSTHashTable dictionary);

  // Writes the values of the line's n-grams found in the dictionary to `out`
  // in generation order (per token position: unigram, bigram, trigram), at
  // most `capacity` of them, and returns their number. The line's tokens are
  // separated by blanks, tabs, newlines and commas.
  int find(const char* line, int* out, int capacity) const;

 private:
  static constexpr uint32_t kNoToken = UINT32_MAX;

  // An n-gram as the tokens' ids and the position of its last token; the
  // missing tokens of a unigram or bigram are kNoToken.
  struct Gram {
    int32_t pos;  // 0 marks an empty slot
    uint32_t first, second, last;
    bool operator==(const Gram& o) const {
      return pos == o.pos && first == o.first && second == o.second && last == o.last;
    }
  };
  static constexpr int kBucketSlots = 3;
  struct Bucket;
  // A token to look up: its bytes, their hash, and the first 8 of them
  // (zero-padded), against which most tokens are checked without reading them.
  struct TokenKey {
    const char* bytes;
    size_t length;
    uint64_t hash;
    uint64_t head;
  };
  struct TokenSlot {
    uint64_t head;
    uint32_t id;      // id + 1, 0 for an empty slot
    uint16_t length;  // the token's length, at most 65535
    uint16_t tag;     // bits of the token's hash
  };
  struct Token {
    uint32_t offset;  // in token_bytes_
    uint32_t length;
  };

  static TokenKey token_key(const char* s, size_t len);
  // Where a gram's probe starts, and the byte that stands for it in the
  // buckets' filter words.
  struct Place {
    size_t bucket;
    uint32_t fingerprint;  // 1 to 255
  };
  Place place_of(const Gram& g) const;
  // The bit of pairs_ that stands for grams ending at `pos` with token `last`.
  size_t pair_bit_of(int32_t pos, uint32_t last) const;
  // The value of the gram, or -1 when the index lacks it.
  int32_t lookup(const Gram& g, Place at) const;
  // The id of the token, or kNoToken.
  uint32_t token_id(const TokenKey& t) const;
  static TokenSlot slot_of(const TokenKey& t, uint32_t id);
  uint32_t add_token(const TokenKey& key);
  void place_token(const TokenKey& key, uint32_t id);
  void grow_tokens();
  // Puts the queued keys into their buckets.
  void insert_pending();

  // Keys whose bucket is being fetched, and keys added more than once.
  static constexpr int kQueue = 16;
  struct Pending {
    Gram gram;
    Place place;
    const char* key;
    int value;
  } pending_[kQueue];
  int npending_ = 0;
  struct Duplicate {
    int32_t* value;
    const char* key;
  };
  Duplicate* duplicates_ = nullptr;
  size_t nduplicates_ = 0, duplicate_room_ = 0;

  Bucket* bucket_block_ = nullptr;  // the allocation holding buckets_
  Bucket* buckets_ = nullptr;
  // Byte s of filters_[b] is the fingerprint of bucket b's slot s, 0 while it
  // is empty, and kOverflowed is set once a gram whose probe starts at b had
  // to go on to the next buckets. Most absent grams are ruled out by these 4
  // bytes per bucket, which stay in cache, before any bucket is read.
  static constexpr uint32_t kOverflowed = 1u << 24;
  uint32_t* filters_ = nullptr;
  size_t nbuckets_ = 0;
  // Bit pair_bit_of(pos, last) is set for every gram's last position and
  // token: a line position whose bit is clear needs no probe at all. At least
  // 4 bits per gram.
  uint64_t* pairs_ = nullptr;
  unsigned pair_bits_ = 0;  // pairs_ has 2^pair_bits_ bits
  TokenSlot* token_slots_ = nullptr;
  unsigned token_bits_ = 0;  // the token table has 2^token_bits_ slots
  Token* tokens_ = nullptr;
  size_t ntokens_ = 0, token_room_ = 0;
  char* token_bytes_ = nullptr;
  size_t bytes_used_ = 0, bytes_room_ = 0;
};

#endif  // API_NGRAM_INDEX_H
