// N-gram index of a dictionary: token vocabulary and the keys grouped by ending.
#include "ngram_index.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cstring>

#include "loadfeats.h"
#include "work_share.h"

namespace {

constexpr uint64_t kGolden = 0x9E3779B97F4A7C15ULL;
constexpr uint64_t kMix = 0xBF58476D1CE4E5B9ULL;
constexpr uint64_t kSpread = 0xC2B2AE3D27D4EB4FULL;

// Whether c ends a line's token: a delimiter or the terminating NUL.
inline bool ends_token(unsigned char c) {
  // Bits of ' ' (32), ',' (44), '\t' (9), '\n' (10) and NUL (0).
  constexpr uint64_t kEnds = (1ULL << 0) | (1ULL << 9) | (1ULL << 10) | (1ULL << 32) | (1ULL << 44);
  return c < 64 && ((kEnds >> c) & 1);
}

// Bytes [p, p + 8) as a word, byte k in bits 8k to 8k + 7, with zeros for
// the bytes at and past `end`.
[[gnu::always_inline]] inline uint64_t load_word(const unsigned char* p, const unsigned char* end) {
  uint64_t word = 0;
  if (end - p >= 8) {
    memcpy(&word, p, 8);
  } else {
    for (ptrdiff_t k = 0; k < end - p; k++) word |= uint64_t{p[k]} << (8 * k);
    return word;
  }
#if __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
  word = __builtin_bswap64(word);
#endif
  return word;
}

// The first n bytes of w.
[[gnu::always_inline]] inline uint64_t low_bytes(uint64_t w, size_t n) {
  return n >= 8 ? w : w & ((uint64_t{1} << (8 * n)) - 1);
}

constexpr uint64_t kLowBits = 0x0101010101010101ULL;

// The high bit of the bytes of w below 45, the delimiters' bound (',' is 44);
// bytes above the lowest such byte may be marked wrongly, so only the lowest
// mark is to be relied on.
[[gnu::always_inline]] inline uint64_t bytes_below_45(uint64_t w) {
  return (w - kLowBits * 45) & ~w & (kLowBits << 7);
}

// The length of the token that starts at p, a byte that ends no token, and
// whose first word is `word`. Bytes from `end` on end it.
[[gnu::always_inline]] inline size_t token_length(const unsigned char* p, const unsigned char* end,
                                                  uint64_t word) {
  size_t length = 0;
  for (;;) {
    if (const uint64_t marks = bytes_below_45(word)) {
      const size_t at = length + __builtin_ctzll(marks) / 8;
      if (at >= static_cast<size_t>(end - p)) return static_cast<size_t>(end - p);
      if (ends_token(p[at])) return at;
      length = at + 1;  // a byte such as '(' inside the token
    } else {
      length += 8;
    }
    word = load_word(p + length, end);
  }
}

// The hash of the token [s, s + length) whose first word is `head`, taken 8
// bytes at a time; bytes up to `readable` may be read. Dictionary keys and
// lines both go through here, so their tokens hash alike.
[[gnu::always_inline]] inline uint64_t token_hash(const unsigned char* s, size_t length,
                                                  uint64_t head, const unsigned char* readable) {
  uint64_t h = head * kGolden;
  for (size_t at = 8; at < length; at += 8)
    h = (h ^ low_bytes(load_word(s + at, readable), length - at)) * kGolden;
  h = (h ^ length) * kMix;
  return h ^ (h >> 31);
}

template <class T>
T* allocate(size_t count) {
  return static_cast<T*>(SYSDefaultHandle->clralloc(SYSDefaultHandle, count, sizeof(T)));
}

// Zeroed room for a table that is probed before it is written: its pages are
// written at once, since a fresh page that is read first faults twice, once
// for the shared zero page and again on its first write.
template <class T>
T* allocate_table(size_t count) {
  void* room = SYSDefaultHandle->memalloc(SYSDefaultHandle, count * sizeof(T));
  return static_cast<T*>(memset(room, 0, count * sizeof(T)));
}

void release(void* p) {
  if (p) SYSDefaultHandle->memfree(SYSDefaultHandle, p);
}

// The value of a position's decimal digits [s, end): canonical (no leading
// zero), from 1 to INT_MAX, as a line's positions are written; else 0.
int32_t position_of(const unsigned char* s, const unsigned char* end) {
  if (s == end || end - s > 10 || *s == '0') return 0;
  long long v = 0;
  for (; s != end; s++) v = v * 10 + (*s - '0');
  return v <= INT_MAX ? static_cast<int32_t>(v) : 0;
}

inline bool is_digit(unsigned char c) {
  return static_cast<unsigned char>(c - '0') < 10;
}

}  // namespace

NgramIndex::TokenKey NgramIndex::token_key(const char* s, size_t len, const char* readable) {
  const auto* bytes = reinterpret_cast<const unsigned char*>(s);
  // Words are loaded whole where the bytes after the token may be read.
  const auto* last = bytes + std::min(static_cast<size_t>(readable - s), len + 8);
  const uint64_t head = low_bytes(load_word(bytes, last), len);
  return TokenKey{s, len, token_hash(bytes, len, head, last), head};
}

[[gnu::always_inline]] inline NgramIndex::TokenSlot NgramIndex::slot_of(const TokenKey& t,
                                                                         uint32_t id) {
  const uint32_t length = t.length < UINT16_MAX ? static_cast<uint32_t>(t.length) : UINT16_MAX;
  return TokenSlot{t.head, id + 1, length << 16 | static_cast<uint16_t>(t.hash)};
}

[[gnu::always_inline]] inline uint64_t NgramIndex::ending_hash(int32_t pos, uint32_t last) {
  uint64_t h = (uint64_t{last} << 32 | static_cast<uint32_t>(pos)) * kMix;
  h ^= h >> 31;
  return h * kGolden;
}

[[gnu::always_inline]] inline uint64_t NgramIndex::link_hash(uint64_t ending_hash,
                                                              uint32_t second) {
  return (ending_hash ^ second) * kMix;
}

NgramIndex::Filter::~Filter() {
  release(words_);
}

void NgramIndex::Filter::reserve(size_t members) {
  unsigned bits = 6;
  while ((size_t{1} << bits) < 8 * members) bits++;
  uint64_t* words = allocate_table<uint64_t>((size_t{1} << bits) / 64);
  release(words_);
  words_ = words;
  bits_ = bits;
}

[[gnu::always_inline]] inline size_t NgramIndex::ending_start(uint64_t hash) const {
  return static_cast<size_t>((hash * kSpread) >> (64 - ending_bits_));
}

[[gnu::always_inline]] inline size_t NgramIndex::ending_place(int32_t pos, uint32_t last,
                                                               uint64_t hash) const {
  const size_t mask = (size_t{1} << ending_bits_) - 1;
  size_t at = ending_start(hash);
  while (endings_[at].pos != 0 && !(endings_[at].pos == pos && endings_[at].last == last))
    at = (at + 1) & mask;
  return at;
}

[[gnu::always_inline]] inline const NgramIndex::Ending* NgramIndex::ending_of(int32_t pos,
                                                                              uint32_t last,
                                                                              uint64_t hash) const {
  const Ending& e = endings_[ending_place(pos, last, hash)];
  return e.pos != 0 ? &e : nullptr;
}

[[gnu::always_inline]] inline uint32_t NgramIndex::token_id(const TokenKey& t) const {
  const size_t mask = (size_t{1} << token_bits_) - 1;
  const TokenSlot want = slot_of(t, 0);
  for (size_t at = t.hash >> (64 - token_bits_);; at = (at + 1) & mask) {
    const TokenSlot& slot = token_slots_[at];
    if (slot.id == 0) return kNoToken;
    if (slot.head != want.head || slot.check != want.check) continue;
    // Equal heads and lengths settle tokens of up to 8 bytes, which hold no NUL.
    if (t.length <= 8) return slot.id - 1;
    const Token& known = tokens_[slot.id - 1];
    if (known.length != t.length) continue;
    const char* bytes = token_bytes_ + known.offset;
    // Up to 16 bytes, the 8 that end the tokens settle the rest.
    uint64_t tail, known_tail;
    if (t.length <= 16) {
      memcpy(&tail, t.bytes + t.length - 8, 8);
      memcpy(&known_tail, bytes + t.length - 8, 8);
      if (tail == known_tail) return slot.id - 1;
    } else if (memcmp(bytes + 8, t.bytes + 8, t.length - 8) == 0) {
      return slot.id - 1;
    }
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
  token_slots_ = allocate_table<TokenSlot>(size_t{1} << token_bits_);
  for (size_t id = 0; id < ntokens_; id++)
    place_token(token_key(token_bytes_ + tokens_[id].offset, tokens_[id].length,
                          token_bytes_ + bytes_used_),
                static_cast<uint32_t>(id));
}

bool NgramIndex::add(const char* key, size_t length, int value) {
  // Split "tok_pos[ tok_pos[ tok_pos]]" into its pieces; a key of any other
  // shape is left out. A piece ends at a blank or the key's end, and its
  // position is the digits before that, after an underscore.
  if (length >= kMaxKeyText) return false;
  const auto* s = reinterpret_cast<const unsigned char*>(key);
  const auto* const end = s + length;
  TokenKey token[3];
  int32_t pos[3];
  int n = 0;
  for (const unsigned char* start = s;; start++) {
    const unsigned char* p = start;
    for (;;) {
      // Blanks, tabs and commas are below 45: only such bytes need a look.
      const uint64_t marks = bytes_below_45(load_word(p, end));
      if (!marks) {
        p += 8;
        continue;
      }
      p += __builtin_ctzll(marks) / 8;
      if (p >= end || *p == ' ') break;
      if (*p == '\t' || *p == ',') return false;  // never inside a line's token
      p++;
    }
    const unsigned char* digits = p;
    while (digits > start && is_digit(digits[-1])) digits--;
    const unsigned char* underscore = digits - 1;
    if (n == 3 || digits == start || *underscore != '_' || underscore == start) return false;
    pos[n] = position_of(digits, p);
    if (pos[n] == 0 || (n > 0 && pos[n] - 1 != pos[n - 1])) return false;
    token[n++] = token_key(reinterpret_cast<const char*>(start),
                           static_cast<size_t>(underscore - start), key + length + 1);
    start = p;
    if (p == end) break;
  }
  uint32_t id[3] = {kNoToken, kNoToken, kNoToken};
  for (int k = 0; k < n; k++) id[3 - n + k] = add_token(token[k]);
  if (nkeys_ == key_room_) reserve_keys(1);
  keys_[nkeys_++] = KeyGram{pos[n - 1], id[2], id[1], id[0], value};
  nunigrams_ += n == 1;
  return true;
}

void NgramIndex::reserve_keys(size_t count) {
  if (key_room_ - nkeys_ >= count) return;
  const size_t room = std::max({size_t{64}, 2 * key_room_, nkeys_ + count});
  keys_ = static_cast<KeyGram*>(
      SYSDefaultHandle->realloc(SYSDefaultHandle, keys_, room * sizeof(KeyGram)));
  key_room_ = room;
}

void NgramIndex::expect_keys(size_t at_most) {
  if (at_most <= key_room_ || at_most > SIZE_MAX / sizeof(KeyGram)) return;
  KeyGram* keys;
  try {
    keys = static_cast<KeyGram*>(
        SYSDefaultHandle->memalloc(SYSDefaultHandle, at_most * sizeof(KeyGram)));
  } catch (const DSTError&) {
    return;  // the keys grow as they come instead
  }
  memcpy(keys, keys_, nkeys_ * sizeof(KeyGram));
  release(keys_);
  keys_ = keys;
  key_room_ = at_most;
}

void NgramIndex::append(NgramIndex& later) {
  // Later's tokens by their ids here.
  struct Ids {
    uint32_t* of;
    ~Ids() { release(of); }
  } ids{allocate<uint32_t>(std::max<size_t>(1, later.ntokens_))};
  const char* readable = later.token_bytes_ + later.bytes_used_;
  for (size_t t = 0; t < later.ntokens_; t++)
    ids.of[t] = add_token(token_key(later.token_bytes_ + later.tokens_[t].offset,
                                    later.tokens_[t].length, readable));
  reserve_keys(later.nkeys_);
  auto here = [&ids](uint32_t id) { return id == kNoToken ? kNoToken : ids.of[id]; };
  for (size_t k = 0; k < later.nkeys_; k++) {
    const KeyGram& key = later.keys_[k];
    keys_[nkeys_++] =
        KeyGram{key.pos, here(key.last), here(key.second), here(key.first), key.value};
  }
  nunigrams_ += later.nunigrams_;
  later.nkeys_ = later.nunigrams_ = 0;
}

void NgramIndex::write_text(const KeyGram& key, char* out) const {
  // "tok_pos", joined by blanks, from the first token on: the key as added.
  const uint32_t ids[3] = {key.first, key.second, key.last};
  char* end = out;
  int32_t pos = key.pos - (key.first != kNoToken ? 2 : key.second != kNoToken ? 1 : 0);
  for (uint32_t id : ids) {
    if (id == kNoToken) continue;
    if (end != out) *end++ = ' ';
    memcpy(end, token_bytes_ + tokens_[id].offset, tokens_[id].length);
    end += tokens_[id].length;
    *end++ = '_';
    end = std::to_chars(end, end + 11, pos++).ptr;
  }
  *end = 0;
}

int NgramIndex::key_text(size_t k, char* out) const {
  write_text(keys_[k], out);
  return keys_[k].value;
}

int32_t NgramIndex::value_in(DSTHashTable dictionary, const KeyGram& key) const {
  char text[kMaxKeyText];
  write_text(key, text);
  return MapWord2Ind(text, dictionary);
}

NgramIndex::Ending& NgramIndex::ending_slot(int32_t pos, uint32_t last) {
  return endings_[ending_place(pos, last, ending_hash(pos, last))];
}

void NgramIndex::grow_endings() {
  const size_t old_slots = size_t{1} << ending_bits_;
  Ending* old = endings_;
  endings_ = allocate_table<Ending>(old_slots * 2);
  ending_bits_++;
  for (size_t k = 0; k < old_slots; k++)
    if (old[k].pos != 0) ending_slot(old[k].pos, old[k].last) = old[k];
  release(old);
}

void NgramIndex::finish(DSTHashTable dictionary, WorkShare& share) {
  // Most endings end a unigram: room for as many from the start saves most
  // growths.
  ending_bits_ = 4;
  while ((size_t{1} << ending_bits_) < 2 * nunigrams_) ending_bits_++;
  endings_ = allocate_table<Ending>(size_t{1} << ending_bits_);
  // The endings, with the number of longer grams of each in `longer` for now.
  // Each key's slot is kept for the placing pass below, except that slots
  // found before the table last grew are looked up again; the slot of a key
  // some keys ahead is fetched while this one is probed.
  struct Slots {
    uint32_t* at;
    ~Slots() { release(at); }
  } slots{allocate<uint32_t>(std::max<size_t>(1, nkeys_))};
  size_t stale_before = 0;
  constexpr size_t kAhead = 16;
  size_t nendings = 0;
  for (size_t k = 0; k < nkeys_; k++) {
    if (k + kAhead < nkeys_) {
      const KeyGram& ahead = keys_[k + kAhead];
      __builtin_prefetch(&endings_[ending_start(ending_hash(ahead.pos, ahead.last))]);
    }
    const KeyGram& key = keys_[k];
    const uint64_t hash = ending_hash(key.pos, key.last);
    size_t at = ending_place(key.pos, key.last, hash);
    if (endings_[at].pos == 0) {
      // At most half of the slots are used, so that most probes read one.
      if (2 * (nendings + 1) > (size_t{1} << ending_bits_)) {
        grow_endings();
        at = ending_place(key.pos, key.last, hash);
        stale_before = k;
      }
      endings_[at] = Ending{key.pos, key.last, -1, 0};
      nendings++;
    }
    if (key.second != kNoToken) endings_[at].longer++;
    slots.at[k] = static_cast<uint32_t>(at);
  }
  // Each ending's longer grams take a header and their own entries.
  const size_t nslots = size_t{1} << ending_bits_;
  size_t nlonger = 0;
  for (size_t k = 0; k < nslots; k++)
    if (endings_[k].longer) nlonger += endings_[k].longer + 1;
  longer_ = allocate<LongerGram>(std::max<size_t>(1, nlonger));
  nlonger = 0;
  for (size_t k = 0; k < nslots; k++) {
    Ending& ending = endings_[k];
    if (!ending.longer) {
      ending.longer = kNoLonger;
      continue;
    }
    longer_[nlonger] = LongerGram{0, kNoToken, -1};
    const size_t at = nlonger;
    nlonger += ending.longer + 1;
    ending.longer = static_cast<uint32_t>(at);
  }

  // The rest is shared out by ranges of ending slots: each part places the
  // keys that end in its range, in file order, and then sorts their longer
  // grams. Equal grams become one, whose value the table gives.
  constexpr int kParts = 2;
  size_t links_of_part[kParts] = {};
  share.run(kParts, [&](int part) {
    const size_t first = nslots / kParts * part, last = first + nslots / kParts;
    for (size_t k = 0; k < nkeys_; k++) {
      const KeyGram& key = keys_[k];
      const size_t at =
          k < stale_before ? ending_place(key.pos, key.last, ending_hash(key.pos, key.last))
                           : slots.at[k];
      if (at < first || at >= last) continue;
      Ending& ending = endings_[at];
      if (key.second != kNoToken) {
        LongerGram& header = longer_[ending.longer];
        longer_[ending.longer + 1 + header.first++] = LongerGram{key.first, key.second, key.value};
      } else {
        // Which of equal keys the table finds depends on its insertion and
        // growth history: ask it.
        ending.unigram = ending.unigram < 0 ? key.value : value_in(dictionary, key);
      }
    }
    links_of_part[part] = sort_longer(dictionary, first, last);
  });

  endings_filter_.reserve(nendings);
  links_filter_.reserve(links_of_part[0] + links_of_part[1]);
  // Each part enters the endings of its slots and their links.
  share.run(kParts, [&](int part) {
    const size_t first = nslots / kParts * part, last = first + nslots / kParts;
    for (size_t k = first; k < last; k++) {
      const Ending& ending = endings_[k];
      if (ending.pos == 0) continue;
      const uint64_t hash = ending_hash(ending.pos, ending.last);
      endings_filter_.add_shared(hash);
      if (ending.longer == kNoLonger) continue;
      const LongerGram* grams = longer_ + ending.longer + 1;
      for (uint32_t g = 0; g < grams[-1].first; g++)
        if (g == 0 || grams[g].second != grams[g - 1].second)
          links_filter_.add_shared(link_hash(hash, grams[g].second));
    }
  });
}

size_t NgramIndex::sort_longer(DSTHashTable dictionary, size_t first, size_t last) {
  size_t nlinks = 0;
  for (size_t k = first; k < last; k++) {
    const Ending& ending = endings_[k];
    if (ending.pos == 0 || ending.longer == kNoLonger) continue;
    LongerGram& header = longer_[ending.longer];
    LongerGram* grams = &header + 1;
    std::sort(grams, grams + header.first, [](const LongerGram& a, const LongerGram& b) {
      return a.second != b.second ? a.second < b.second : a.first < b.first;
    });
    uint32_t kept = 0;
    for (uint32_t g = 0; g < header.first; kept++) {
      uint32_t next = g + 1;
      while (next < header.first && grams[next].second == grams[g].second &&
             grams[next].first == grams[g].first)
        next++;
      grams[kept] = grams[g];
      if (next - g > 1)
        grams[kept].value = value_in(
            dictionary, KeyGram{ending.pos, ending.last, grams[g].second, grams[g].first, 0});
      nlinks += kept == 0 || grams[kept - 1].second != grams[kept].second;
      g = next;
    }
    header.first = kept;
  }
  return nlinks;
}

NgramIndex::NgramIndex() {
  try {
    key_room_ = 1024;
    keys_ = allocate<KeyGram>(key_room_);
    token_bits_ = 10;
    token_slots_ = allocate_table<TokenSlot>(size_t{1} << token_bits_);
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
  release(keys_);
  release(endings_);
  release(longer_);
  release(token_slots_);
  release(tokens_);
  release(token_bytes_);
}

int NgramIndex::find(const char* line, int* out, int capacity) const {
  // The tokens of a line are taken a batch at a time, in rounds that each
  // read memory fetched during the round before, so that the fetches of a
  // round overlap: the token slots are fetched as the tokens are scanned, the
  // endings filter's words as the tokens' ids are found, the endings and the
  // links filter's words of the positions that pass, and then the longer
  // grams of the endings whose link passes.
  constexpr int kTokens = 24;
  TokenKey tokens[kTokens];
  uint32_t ids[kTokens + 2];  // ids[k + 2] is token k's, ids[0..1] the two before
  uint64_t hashes[kTokens], links[kTokens];
  // Per token that may end a gram: its place in the batch, its ending, the
  // link of its token before, and whether that link may have longer grams.
  int ending_at[kTokens + 1];
  const Ending* endings[kTokens];
  bool longer[kTokens];
  ids[0] = ids[1] = kNoToken;
  int32_t pos = 0;  // of the token before the batch
  int written = 0;
  auto emit = [&](int32_t value) {
    out[written++] = value;
    return written == capacity;
  };
  const unsigned char* p = reinterpret_cast<const unsigned char*>(line);
  const unsigned char* const end = p + strlen(line);
  while (written < capacity) {
    int ntokens = 0;
    for (; ntokens < kTokens; ntokens++) {
      while (p != end && ends_token(*p)) p++;
      // No key has a later position than INT32_MAX.
      if (p == end || pos + ntokens == INT32_MAX) break;
      const uint64_t first = load_word(p, end);
      const size_t length = token_length(p, end, first);
      const uint64_t head = low_bytes(first, length);
      tokens[ntokens] = TokenKey{reinterpret_cast<const char*>(p), length,
                                 token_hash(p, length, head, end), head};
      p += length;
      __builtin_prefetch(token_slots_ + (tokens[ntokens].hash >> (64 - token_bits_)));
    }
    if (ntokens == 0) break;

    // Rounds on the tokens that may end a gram go through the list of their
    // places in the batch, so that no branch depends on which ones they are.
    uint32_t* id = ids + 2;
    for (int k = 0; k < ntokens; k++) {
      id[k] = token_id(tokens[k]);
      hashes[k] = ending_hash(pos + 1 + k, id[k]);
      __builtin_prefetch(endings_filter_.word(hashes[k]));
    }
    int nending = 0;
    for (int k = 0; k < ntokens; k++) {
      ending_at[nending] = k;
      nending += (id[k] != kNoToken) & endings_filter_.may_hold(hashes[k]);
    }
    for (int j = 0; j < nending; j++) {
      const int k = ending_at[j];
      __builtin_prefetch(endings_ + ending_start(hashes[k]));
      links[j] = link_hash(hashes[k], id[k - 1]);
      __builtin_prefetch(links_filter_.word(links[j]));
    }
    for (int j = 0; j < nending; j++) {
      const int k = ending_at[j];
      endings[j] = ending_of(pos + 1 + k, id[k], hashes[k]);
      longer[j] = endings[j] && endings[j]->longer != kNoLonger && id[k - 1] != kNoToken &&
                  links_filter_.may_hold(links[j]);
      if (longer[j]) __builtin_prefetch(longer_ + endings[j]->longer);
    }

    for (int j = 0; j < nending; j++) {
      const Ending* e = endings[j];
      if (!e) continue;
      if (e->unigram >= 0 && emit(e->unigram)) return written;
      if (!longer[j]) continue;
      // The bigram, then the trigram, whose tokens before the last are
      // (id[k - 1]) and (id[k - 2], id[k - 1]): the grams are sorted by their
      // second token, then by the first, kNoToken (bigrams) last.
      const int k = ending_at[j];
      const uint32_t second = id[k - 1];
      const LongerGram* g = longer_ + e->longer + 1;
      const LongerGram* end = g + g[-1].first;
      for (size_t n = g[-1].first; n > 1;) {
        const size_t half = n / 2;
        g = g[half - 1].second < second ? g + half : g;
        n -= half;
      }
      int32_t bigram = -1, trigram = -1;
      for (; g != end && g->second <= second; g++) {
        if (g->second != second) continue;
        if (g->first == kNoToken) bigram = g->value;
        else if (g->first == id[k - 2]) trigram = g->value;
      }
      if ((bigram >= 0 && emit(bigram)) || (trigram >= 0 && emit(trigram))) return written;
    }
    pos += ntokens;
    ids[0] = id[ntokens - 2];
    ids[1] = id[ntokens - 1];
    if (ntokens < kTokens) break;
  }
  return written;
}
