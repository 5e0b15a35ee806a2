// Exact n-gram lookups without forming the n-gram strings.
//
// A dictionary key such as "ab_7 cd_8 ef_9" can only ever equal the n-gram a
// line forms at token position 9 from the tokens "ab", "cd" and "ef". The
// index keeps the keys' tokens as small integers (a vocabulary) and groups the
// keys by where they end: all grams ending with a given token at a given
// position share one entry, which holds the unigram's value and points at the
// bigrams and trigrams that end there. A line's token is hashed and looked up
// once, and then one probe per position finds everything that ends there. A
// token the vocabulary lacks ends every n-gram that holds it without a probe.
// Keys that no line can form (other spacing, a delimiter inside a token, a
// position that is not a plain decimal from 1) are left out, since no lookup
// could find them.
//
// Every lookup answers what the dictionary table's own find answers for the
// n-gram's string, duplicate keys included: the value stored for a key met
// twice is asked of the table.
//
// Ownership: the index copies what it needs; it refers to the table only
// while it is being built. Thread-safety: read-only once built, so
// any number of threads may call find at once.
#ifndef API_NGRAM_INDEX_H
#define API_NGRAM_INDEX_H

#include <cstddef>
#include <cstdint>

#include "dsthash.h"

class WorkShare;

class NgramIndex {
 public:
  // An empty index. Allocation failures, here and in add and finish, throw
  // DSTError.
  NgramIndex();
  ~NgramIndex();
  NgramIndex(const NgramIndex&) = delete;
  NgramIndex& operator=(const NgramIndex&) = delete;

  // Room for the text of any key the index keeps, NUL included.
  static constexpr size_t kMaxKeyText = 1024;

  // Adds a key of the dictionary, `length` bytes and a NUL, with the value of
  // its entry; the key is read only during the call. Returns whether the
  // index keeps it: whether a line can form it (and it is shorter than
  // kMaxKeyText).
  bool add(const char* key, size_t length, int value);
  // Room for `at_most` keys in one block, when a bound is known (from the
  // size of a file), so that the keys never move: its pages are only taken
  // as keys fill it, and a big block gets huge pages. Nothing when there is
  // no such memory.
  void expect_keys(size_t at_most);
  // Adds the keys of `later`, an index of the lines that follow this one's,
  // after this index's keys, as if they had been added here; `later` is left
  // without keys.
  void append(NgramIndex& later);
  // Completes the index after the last add: a key added more than once gets
  // the value that `dictionary`, which holds every key added, finds for it.
  // Parts of the work go to the helpers of `share`.
  void finish(DSTHashTable dictionary, WorkShare& share);

  // The number of keys kept, and the text (NUL-terminated, written to `out`
  // with room for kMaxKeyText bytes) and value of the k-th of them in the
  // order they were added.
  size_t key_count() const { return nkeys_; }
  int key_text(size_t k, char* out) const;

  // After finish: writes the values of the line's n-grams found in the
  // dictionary to `out` in generation order (per token position: unigram,
  // bigram, trigram), at most `capacity` of them, and returns their number.
  // The line's tokens are separated by blanks, tabs, newlines and commas.
  int find(const char* line, int* out, int capacity) const;

 private:
  static constexpr uint32_t kNoToken = UINT32_MAX;
  static constexpr uint32_t kNoLonger = UINT32_MAX;

  // The grams that end with token `last` at position `pos`: the unigram's
  // value (-1 when it is no key) and the index in longer_ of the first of the
  // bigrams and trigrams (kNoLonger when there are none).
  struct Ending {
    int32_t pos;  // 0 marks an empty slot
    uint32_t last;
    int32_t unigram;
    uint32_t longer;
  };
  // A bigram (first is kNoToken) or trigram, by the tokens before its last.
  // An ending's longer grams follow a header whose `first` is their number,
  // sorted by (second, first).
  struct LongerGram {
    uint32_t first, second;
    int32_t value;
  };
  // A kept key: its last position, token ids and value.
  struct KeyGram {
    int32_t pos;
    uint32_t last, second, first;  // kNoToken for the missing tokens
    int32_t value;
  };
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
    uint32_t id;     // id + 1, 0 for an empty slot
    uint32_t check;  // the token's length (at most 65535) above 16 bits of its hash
  };
  struct Token {
    uint32_t offset;  // in token_bytes_
    uint32_t length;
  };

  // The token [s, s + len); bytes up to `readable` may be read.
  static TokenKey token_key(const char* s, size_t len, const char* readable);
  // A set of hashes that may answer "present" for a hash never added: its
  // top bits pick one bit of at least 8 per member. Owns its words.
  class Filter {
   public:
    ~Filter();
    // Empties the filter and makes room for `members`.
    void reserve(size_t members);
    // Adds `hash`; threads may add to one filter at once.
    void add_shared(uint64_t hash) {
      __atomic_fetch_or(&words_[index_of(hash) / 64], uint64_t{1} << (index_of(hash) % 64),
                        __ATOMIC_RELAXED);
    }
    bool may_hold(uint64_t hash) const {
      return (words_[index_of(hash) / 64] >> (index_of(hash) % 64)) & 1;
    }
    const uint64_t* word(uint64_t hash) const { return words_ + index_of(hash) / 64; }

   private:
    size_t index_of(uint64_t hash) const { return static_cast<size_t>(hash >> (64 - bits_)); }
    uint64_t* words_ = nullptr;
    unsigned bits_ = 6;  // 2^bits_ bits
  };

  // The hash of an ending's position and last token; its low bits pick the
  // slot where its probe starts.
  static uint64_t ending_hash(int32_t pos, uint32_t last);
  // The hash of the grams of an ending whose token before the last is `second`.
  static uint64_t link_hash(uint64_t ending_hash, uint32_t second);
  size_t ending_start(uint64_t hash) const;
  // The slot of the ending (pos, last) whose hash is `hash`, or the empty slot
  // where it would go.
  size_t ending_place(int32_t pos, uint32_t last, uint64_t hash) const;
  // The ending of (pos, last), or null when no key ends there.
  const Ending* ending_of(int32_t pos, uint32_t last, uint64_t hash) const;
  // The id of the token, or kNoToken.
  uint32_t token_id(const TokenKey& t) const;
  static TokenSlot slot_of(const TokenKey& t, uint32_t id);
  uint32_t add_token(const TokenKey& key);
  // Room for `count` more keys.
  void reserve_keys(size_t count);
  void place_token(const TokenKey& key, uint32_t id);
  void grow_tokens();
  // The slot of the ending (pos, last), an empty one when it is missing.
  Ending& ending_slot(int32_t pos, uint32_t last);
  void grow_endings();
  // Writes the text of `key` and a NUL to `out` (kMaxKeyText bytes).
  void write_text(const KeyGram& key, char* out) const;
  // Sorts the longer grams of the endings in slots [first, last), making
  // equal ones one; returns the number of their distinct (ending, second).
  size_t sort_longer(DSTHashTable dictionary, size_t first, size_t last);
  // The value of a key added more than once, as the dictionary finds it.
  int32_t value_in(DSTHashTable dictionary, const KeyGram& key) const;

  // The keys kept, in the order added.
  KeyGram* keys_ = nullptr;
  size_t nkeys_ = 0, key_room_ = 0;
  size_t nunigrams_ = 0;  // keys of one token

  Ending* endings_ = nullptr;
  unsigned ending_bits_ = 0;  // the ending table has 2^ending_bits_ slots
  LongerGram* longer_ = nullptr;
  // Every ending's hash, so that a line position that ends no gram needs no
  // probe of the endings.
  Filter endings_filter_;
  // The link hash of every (ending, second) of a longer gram: most of a
  // line's positions that end some longer gram end none after this token.
  Filter links_filter_;
  TokenSlot* token_slots_ = nullptr;
  unsigned token_bits_ = 0;  // the token table has 2^token_bits_ slots
  Token* tokens_ = nullptr;
  size_t ntokens_ = 0, token_room_ = 0;
  char* token_bytes_ = nullptr;
  size_t bytes_used_ = 0, bytes_room_ = 0;
};

#endif  // API_NGRAM_INDEX_H
