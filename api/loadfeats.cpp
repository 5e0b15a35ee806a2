// Dictionary loading and n-gram feature generation.
#include "loadfeats.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <string>
#include <system_error>
#include <utility>
#include <vector>

#include "ngram_index.h"
#include "work_share.h"

namespace {

constexpr size_t kInitialSize = 40000;
constexpr int kLineBuf = 1024;
constexpr size_t kLineMax = kLineBuf - 2;  // a read of this many characters is too long

// The value of the digits [s, end) when they are a decimal number of at most 9
// digits without a leading zero, or "0", which strtol reads alike; else -1,
// and strtol decides.
long plain_decimal(const char* s, const char* end) {
  if (end - s > 9 || (*s == '0' && end - s > 1)) return -1;
  long v = 0;
  for (; s != end; s++) {
    if (*s < '0' || *s > '9') return -1;
    v = v * 10 + (*s - '0');
  }
  return v;
}

// Delimiters that end the index field of a dictionary line.
inline bool is_index_delim(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Delimiters between the tokens of an input line.
inline bool is_token_delim(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == ',';
}

// Whether c ends a token: a delimiter or the terminating NUL.
inline bool ends_token(char c) {
  static constexpr auto kEnds = [] {
    std::array<bool, 256> ends{};
    for (unsigned char d : {'\0', ' ', '\t', '\n', ','}) ends[d] = true;
    return ends;
  }();
  return kEnds[static_cast<unsigned char>(c)];
}

// NUL-terminated strings, each after a fixed-size header of the caller's, one
// after another in blocks, so that a million short keys cost neither a
// million allocations nor an allocator header each; read back in the order
// stored. A block starts with a link to the block before it and the bytes it
// uses. Memory comes from the default handler (failures throw DSTError).
class StringBlocks {
 public:
  // Copies `extra` bytes of `header`, then the len bytes at s and a NUL;
  // returns the string's copy.
  char* copy(const void* header, size_t extra, const char* s, size_t len) {
    if (!block_ || size_ - used_ < extra + len + 1) {
      const size_t next = !block_ ? kFirstBlock : std::min(2 * size_, kMaxBlock);
      char* fresh = static_cast<char*>(SYSDefaultHandle->memalloc(SYSDefaultHandle, next));
      if (block_) header_of(block_).used = used_;
      header_of(fresh).previous = block_;
      block_ = fresh;
      size_ = next;
      used_ = sizeof(BlockHeader);
    }
    if (extra) memcpy(block_ + used_, header, extra);
    char* copy = block_ + used_ + extra;
    memcpy(copy, s, len);
    copy[len] = '\0';
    used_ += extra + len + 1;
    return copy;
  }

  // Calls fn(header, string) for every string in the order copied; `extra`
  // is the header size they were copied with, and fn may rewrite the header.
  template <class Fn>
  void for_each(size_t extra, Fn fn) const {
    std::vector<char*> blocks;
    for (char* b = block_; b; b = header_of(b).previous) blocks.push_back(b);
    for (auto b = blocks.rbegin(); b != blocks.rend(); ++b) {
      const size_t end = *b == block_ ? used_ : header_of(*b).used;
      for (size_t at = sizeof(BlockHeader); at < end;) {
        const char* string = *b + at + extra;
        fn(*b + at, string);
        at += extra + strlen(string) + 1;
      }
    }
  }

  // Moves the strings of `later` after this one's.
  void append(StringBlocks& later) {
    if (!later.block_) return;
    if (block_) {
      char* oldest = later.block_;
      while (header_of(oldest).previous) oldest = header_of(oldest).previous;
      header_of(oldest).previous = block_;
      header_of(block_).used = used_;
    }
    block_ = later.block_;
    size_ = later.size_;
    used_ = later.used_;
    later.block_ = nullptr;
  }

  void release() {
    while (block_) {
      char* previous = header_of(block_).previous;
      SYSDefaultHandle->memfree(SYSDefaultHandle, block_);
      block_ = previous;
    }
  }

 private:
  static constexpr size_t kFirstBlock = size_t{64} << 10;
  static constexpr size_t kMaxBlock = size_t{4} << 20;  // holds any line
  struct BlockHeader {
    char* previous;
    size_t used;
  };
  static BlockHeader& header_of(char* b) { return *reinterpret_cast<BlockHeader*>(b); }

  char* block_ = nullptr;  // newest block, or null
  size_t size_ = 0;        // its size
  size_t used_ = 0;        // bytes used in it
};

// A key the n-gram index leaves out, stored before its text: its value and
// the number of keys the index kept before it, which places it in file order.
struct LeftOutKey {
  int value;
  size_t kept_before;
};

// What a table from LoadFeats holds besides its chains (its user data).
//
// The string-keyed table's entries are linked into its chains only on its
// first MapWord2Ind: the decoder's lines are answered by the n-gram index, so
// most loads never need them. The index keeps the keys a line can form, in
// file order, and gives back their text; the others are stored here. The
// entries go in in file order, as a load that inserted them line by line
// would have left them.
struct Dictionary {
  StringBlocks left_out;  // keys the index leaves out, after their LeftOutKey
  StringBlocks texts;     // the strings the table's entries point to
  NgramIndex* index = nullptr;       // string-keyed tables only
  std::atomic<bool> linked{false};   // every key is in the table
  std::mutex linking;

  static Dictionary* create() {
    void* room = SYSDefaultHandle->memalloc(SYSDefaultHandle, sizeof(Dictionary));
    return new (room) Dictionary;
  }

  // Links every key into the string-keyed table `ht` unless that is done.
  // Safe on several threads at once. A failure to allocate leaves the keys
  // linked so far in place (the table counts them), and the next call goes on
  // from there.
  void link_into(DSTHashTable ht) {
    if (linked.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> hold(linking);
    if (linked.load(std::memory_order_relaxed)) return;
    size_t met = 0;   // keys met in file order
    size_t kept = 0;  // keys of the index met
    auto link = [&](const char* key, int value) {
      if (met++ < ht->cnt) return;  // linked by an earlier call
      const HE entry{const_cast<char*>(key), value};
      DSTHashInsert(ht, &entry);
    };
    auto link_kept = [&](size_t until) {
      char text[NgramIndex::kMaxKeyText];
      for (; kept < until; kept++) {
        if (met < ht->cnt) {
          met++;
          continue;
        }
        const int value = index->key_text(kept, text);
        link(texts.copy(nullptr, 0, text, strlen(text)), value);
      }
    };
    left_out.for_each(sizeof(LeftOutKey), [&](const char* header, const char* key) {
      LeftOutKey left;
      memcpy(&left, header, sizeof left);
      link_kept(left.kept_before);
      link(key, left.value);
    });
    link_kept(index->key_count());
    linked.store(true, std::memory_order_release);
  }

  void release() {
    if (index) {
      index->~NgramIndex();
      SYSDefaultHandle->memfree(SYSDefaultHandle, index);
    }
    left_out.release();
    texts.release();
    this->~Dictionary();
    SYSDefaultHandle->memfree(SYSDefaultHandle, this);
  }
};

// Reads a file in large blocks and hands out its lines in the pieces that
// fgets with a buffer of kLineBuf - 1 bytes would return: up to and including
// a newline, at most kLineMax characters, or the rest of the file. A piece
// stays in the block, so a line is not copied before it is parsed.
class LineReader {
 public:
  // Reads `fd` from `offset` on: by pread when `seekable`, which leaves the
  // descriptor's own offset alone so that several readers may share it, else
  // by read. The block comes from the default handler.
  LineReader(int fd, uint64_t offset, bool seekable)
      : fd_(fd),
        seekable_(seekable),
        block_(static_cast<char*>(SYSDefaultHandle->memalloc(SYSDefaultHandle, kBlock + 1))),
        next_read_(offset),
        piece_end_(offset),
        ends_line_(offset == 0) {}
  ~LineReader() { SYSDefaultHandle->memfree(SYSDefaultHandle, block_); }
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // The next piece and its length (NUL bytes included), or null at the end
  // of the file (or at a read error, as for fgets). The piece may be written
  // to, and so may the byte after it, which is still in the block; unless the
  // piece ends with a newline or is the file's last, that byte begins the
  // next piece, so only a caller that reads no further may change it.
  char* next(size_t& length) {
    for (;;) {
      const size_t avail = end_ - pos_;
      const void* newline = memchr(block_ + pos_, '\n', std::min(avail, kLineMax));
      if (newline) {
        length = static_cast<size_t>(static_cast<const char*>(newline) - (block_ + pos_)) + 1;
        break;
      }
      if (avail >= kLineMax || (eof_ && avail > 0)) {
        length = std::min(avail, kLineMax);
        break;
      }
      if (eof_) return nullptr;
      memmove(block_, block_ + pos_, avail);
      pos_ = 0;
      end_ = avail;
      fill();
    }
    char* piece = block_ + pos_;
    pos_ += length;
    piece_start_ = piece_end_;
    piece_end_ += length;
    starts_line_ = ends_line_;
    ends_line_ = piece[length - 1] == '\n';
    return piece;
  }

  // Where the last piece starts in the file, and whether a line starts there:
  // it is the file's first piece, or the piece before it ended with a newline.
  uint64_t offset() const { return piece_start_; }
  bool starts_line() const { return starts_line_; }

 private:
  static constexpr size_t kBlock = size_t{64} << 10;

  // Reads after the block's bytes; an error ends the file, as for fgets.
  void fill() {
    ssize_t got;
    do {
      got = seekable_ ? pread(fd_, block_ + end_, kBlock - end_, static_cast<off_t>(next_read_))
                      : read(fd_, block_ + end_, kBlock - end_);
    } while (got < 0 && errno == EINTR);
    if (got <= 0) {
      eof_ = true;
      return;
    }
    end_ += static_cast<size_t>(got);
    next_read_ += static_cast<uint64_t>(got);
  }

  int fd_;
  bool seekable_;
  char* block_;  // kBlock + 1 bytes: the last ends the file's last piece
  size_t pos_ = 0;
  size_t end_ = 0;
  bool eof_ = false;
  uint64_t next_read_;  // the file offset of block_[end_]
  uint64_t piece_start_ = 0, piece_end_;
  bool starts_line_ = false;
  bool ends_line_;  // the last piece ended a line (at first: the reader starts the file)
};

// How the pieces of a dictionary file are shared between the reader of its
// start and a reader of its end that may join later. The file is cut in
// chunks, and a line is read by the reader of the chunk where it starts.
// The first reader claims chunks one by one as it reaches them; the second,
// once, the back half of the chunks still unclaimed then. Safe on the two
// readers' threads at once.
class FileSplit {
 public:
  // A file of `size` bytes; when it is not `seekable`, the first reader
  // reads it all.
  FileSplit(uint64_t size, bool seekable)
      : nchunks_(seekable ? (size + kChunk - 1) / kChunk : 0) {}

  // Whether the first reader reads the piece it was just given: unless the
  // piece starts a line in a chunk of the second reader's.
  bool front_reads(const LineReader& reader) {
    const uint64_t at = reader.offset();
    if (at < claimed_end_) return true;
    const uint64_t chunk = at / kChunk;
    uint64_t state = state_.load();
    for (;;) {
      const uint64_t back = state & kUnclaimed;
      if (chunk >= back) return !reader.starts_line();
      if (state_.compare_exchange_weak(state, (chunk + 1) << 32 | back)) {
        claimed_end_ = (chunk + 1) * kChunk;
        return true;
      }
    }
  }

  // Claims the back half of the unclaimed chunks for the second reader and
  // gives the offset where they start; false when fewer than two are left.
  bool claim_back(uint64_t& from) {
    uint64_t state = state_.load();
    for (;;) {
      const uint64_t front = state >> 32;
      if ((state & kUnclaimed) != kUnclaimed || nchunks_ < front + 2) return false;
      const uint64_t first = front + (nchunks_ - front) / 2;
      if (state_.compare_exchange_weak(state, front << 32 | first)) {
        from = first * kChunk;
        return true;
      }
    }
  }

 private:
  static constexpr uint64_t kChunk = uint64_t{64} << 10;
  static constexpr uint64_t kUnclaimed = UINT32_MAX;

  const uint64_t nchunks_;
  uint64_t claimed_end_ = 0;  // the first reader's claim, in bytes
  // The first reader's claimed chunks above the second reader's first chunk,
  // which is kUnclaimed until the second reader claims.
  std::atomic<uint64_t> state_{kUnclaimed};
};

}  // namespace

void Error(const char* msg) {
  throw DictionaryError(msg);
}

void badinput(const char* file, int nl, const char* msg, const char* line) {
  throw DictionaryError(std::string(msg) + " at " + std::to_string(nl) + " in " + file +
                        " file\n\t Offending line: " + line);
}

namespace {

// Thrown out of a load whose caller no longer wants the table.
struct LoadAbandoned {};

// A bad line met by a reader that may have started inside the file: the
// number of pieces it read before the line, the problem and the line.
struct BadLine {
  int nl;
  const char* msg;
  std::string line;
};

// Parses the pieces of `reader` while reads(reader) holds for the piece just
// read, passing each entry to add(value, string, length); returns the number
// of pieces parsed. Throws BadLine at a bad line, LoadAbandoned once
// `abandoned` (when given) is set.
template <class Reads, class Add>
int read_lines(LineReader& reader, const std::atomic<bool>* abandoned, Reads reads, Add add) {
  size_t piece;
  char* line;
  int nl = 0;
  for (; (line = reader.next(piece)) && reads(reader); nl++) {
    if (abandoned && nl % 4096 == 0 && abandoned->load(std::memory_order_relaxed))
      throw LoadAbandoned{};
    // As read by fgets: the line ends at its first NUL. The terminator goes
    // past the piece only for the file's last piece or a line too long.
    size_t len = strnlen(line, piece);
    bool too_long = len == kLineMax;
    if (len > 0 && line[len - 1] == '\n') len--;
    line[len] = '\0';
    if (too_long) throw BadLine{nl, "line too long", line};

    // Index: the first run of non-delimiters; then exactly one delimiter; the
    // string is the rest of the line and must not be empty.
    const char* idx = line;
    while (is_index_delim(*idx)) idx++;
    const char* idx_end = idx;
    while (*idx_end && !is_index_delim(*idx_end)) idx_end++;
    if (idx_end == idx || !*idx_end || !idx_end[1])
      throw BadLine{nl, "wrong number of columns", line};
    const char* str = idx_end + 1;

    long val = plain_decimal(idx, idx_end);
    if (val < 0) {
      char* num_end;
      val = strtol(idx, &num_end, 0);
      if (num_end != idx_end || val < 0 || val > INT_MAX)
        throw BadLine{nl, "bad non-negative number", line};
    }
    add(static_cast<int>(val), str, static_cast<size_t>(line + len - str));
  }
  return nl;
}

// Rethrows `failure` of a reader that started after `before` pieces, a bad
// line as the dictionary's error.
[[noreturn]] void rethrow(const std::exception_ptr& failure, const char* file, int before) {
  try {
    std::rethrow_exception(failure);
  } catch (const BadLine& bad) {
    badinput(file, before + bad.nl, bad.msg, bad.line.c_str());
  }
}

// The keys of a stretch of a string-keyed dictionary: those a line can form
// go to `index`, the others to `left_out`.
struct KeySink {
  NgramIndex& index;
  StringBlocks& left_out;

  void operator()(int value, const char* key, size_t length) const {
    if (!index.add(key, length, value)) {
      const LeftOutKey left{value, index.key_count()};
      left_out.copy(&left, sizeof left, key, length);
    }
  }
};

// The most keys `bytes` of a dictionary can hold: the shortest line a key
// comes from is 6 bytes ("0 a_1" and its newline).
size_t most_keys(uint64_t bytes) {
  return static_cast<size_t>(std::min<uint64_t>(bytes / 6 + 1, SIZE_MAX));
}

// Reads the entries of the string-keyed dictionary `fd` into the n-gram index
// of `dictionary`. The file's end is read into an index of its own by a
// helper of `share` when one comes in time, and then joined to the index of
// its start.
void read_keys(int fd, const char* file, uint64_t size, bool seekable, Dictionary& dictionary,
               const std::atomic<bool>* abandoned, WorkShare& share) {
  FileSplit split(size, seekable);
  std::exception_ptr front_failure, back_failure;
  int front_lines = 0;
  std::optional<NgramIndex> back_index;
  struct Blocks : StringBlocks {
    ~Blocks() { release(); }
  } back_left_out;
  share.run(2, [&](int part) {
    try {
      if (part == 0) {
        if (seekable) dictionary.index->expect_keys(most_keys(size));
        LineReader reader(fd, 0, seekable);
        front_lines = read_lines(
            reader, abandoned, [&](const LineReader& r) { return split.front_reads(r); },
            KeySink{*dictionary.index, dictionary.left_out});
        return;
      }
      uint64_t from;
      if (!split.claim_back(from)) return;
      // From the first line that starts at `from` or after.
      LineReader reader(fd, from - 1, seekable);
      size_t piece;
      for (const char* skipped; (skipped = reader.next(piece)) && skipped[piece - 1] != '\n';) {
      }
      back_index.emplace();
      back_index->expect_keys(most_keys(size - from));
      read_lines(reader, abandoned, [](const LineReader&) { return true; },
                 KeySink{*back_index, back_left_out});
    } catch (...) {
      (part == 0 ? front_failure : back_failure) = std::current_exception();
    }
  });
  if (front_failure) rethrow(front_failure, file, 0);
  if (back_failure) rethrow(back_failure, file, front_lines);
  if (back_index) {
    const size_t kept_before = dictionary.index->key_count();
    back_left_out.for_each(sizeof(LeftOutKey), [kept_before](char* header, const char*) {
      LeftOutKey left;
      memcpy(&left, header, sizeof left);
      left.kept_before += kept_before;
      memcpy(header, &left, sizeof left);
    });
    dictionary.index->append(*back_index);
    dictionary.left_out.append(back_left_out);
  }
}

// Reads the entries of the open dictionary `fd` into the empty table `ht`:
// the inverse table gets them at once, the string-keyed one on its first
// MapWord2Ind (Dictionary), after its n-gram index has been built from them.
void read_entries(int fd, const char* file, uint64_t size, bool seekable, int inv,
                  DSTHashTable ht, const std::atomic<bool>* abandoned, WorkShare& share) {
  Dictionary* dictionary = static_cast<Dictionary*>(ht->data);
  if (!inv) {
    void* room = SYSDefaultHandle->memalloc(SYSDefaultHandle, sizeof(NgramIndex));
    try {
      dictionary->index = new (room) NgramIndex();
    } catch (...) {
      SYSDefaultHandle->memfree(SYSDefaultHandle, room);
      throw;
    }
    read_keys(fd, file, size, seekable, *dictionary, abandoned, share);
    dictionary->index->finish(ht, share);
    return;
  }
  // The inverse table's entries go in a batch at a time, which overlaps their
  // bucket loads.
  constexpr int kInsertBatch = 32;
  HEInv batch[kInsertBatch];
  int nbatch = 0;
  auto flush = [&] {
    DSTHashInsertBatch(ht, batch, nbatch);
    nbatch = 0;
  };
  LineReader reader(fd, 0, seekable);
  try {
    read_lines(reader, abandoned, [](const LineReader&) { return true; },
               [&](int value, const char* key, size_t length) {
                 batch[nbatch++] = HEInv{value, dictionary->texts.copy(nullptr, 0, key, length)};
                 if (nbatch == kInsertBatch) flush();
               });
  } catch (const BadLine&) {
    rethrow(std::current_exception(), file, 0);
  }
  flush();
  dictionary->linked = true;
}

// LoadFeats, which `abandoned` (when given) stops by LoadAbandoned; the
// helpers of `share` take parts of the work.
DSTHashTable load_feats(const char* file, int inv, const std::atomic<bool>* abandoned,
                        WorkShare& share) {
  // A folder would open and read as an empty dictionary: refuse it as well.
  struct stat st;
  bool folder = stat(file, &st) == 0 && S_ISDIR(st.st_mode);
  const int fd = folder ? -1 : open(file, O_RDONLY | O_CLOEXEC);
  if (fd < 0) Error(("can't open " + std::string(file) + " -- lexiconread").c_str());
  struct Closer {
    int fd;
    ~Closer() { close(fd); }
  } closer{fd};
  const bool seekable = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  const uint64_t size = seekable ? static_cast<uint64_t>(st.st_size) : 0;
  Dictionary* dictionary = Dictionary::create();
  DSTHashTable ht = nullptr;
  try {
    ht = inv ? DSTHashCreate(SYSDefaultHandle, kInitialSize, sizeof(HEInv), DSTIntCmp,
                             DSTIntHash, dictionary)
             : DSTHashCreate(SYSDefaultHandle, kInitialSize, sizeof(HE), DSTStrCmp, DSTStrHash,
                             dictionary);
    read_entries(fd, file, size, seekable, inv, ht, abandoned, share);
  } catch (...) {
    // A failed load keeps nothing: the table and every key block go.
    if (ht)
      FreeFeats(ht);
    else
      dictionary->release();
    throw;
  }
  return ht;
}

}  // namespace

DSTHashTable LoadFeats(const char* file, int inv) {
  WorkShare alone;
  return load_feats(file, inv, nullptr, alone);
}

FeatsLoad::FeatsLoad(std::string file) : file_(std::move(file)) {
  try {
    thread_ = std::thread(&FeatsLoad::load, this);
  } catch (const std::system_error&) {
    // No thread: take() loads on the caller's.
  }
}

FeatsLoad::~FeatsLoad() {
  abandoned_ = true;
  if (thread_.joinable()) thread_.join();
  if (table_) FreeFeats(table_);
}

void FeatsLoad::load() noexcept {
  try {
    table_ = load_feats(file_.c_str(), 0, &abandoned_, share_);
  } catch (const LoadAbandoned&) {
    // Nobody takes the table.
  } catch (...) {
    failure_ = std::current_exception();
  }
  share_.close();
}

DSTHashTable FeatsLoad::take() {
  if (thread_.joinable()) {
    share_.help();
    thread_.join();
  } else if (!table_ && !failure_)
    load();
  if (failure_) std::rethrow_exception(failure_);
  DSTHashTable table = table_;
  table_ = nullptr;
  return table;
}

void FreeFeats(DSTHashTable ht) {
  static_cast<Dictionary*>(ht->data)->release();
  DSTHashFree(ht);
}

int MapWord2Ind(const char* s, DSTHashTable ht) {
  static_cast<Dictionary*>(ht->data)->link_into(ht);
  HE probe = {const_cast<char*>(s), 0};
  const HE* found = static_cast<const HE*>(DSTHashFind(ht, &probe));
  return found ? found->val : -1;
}

void NgramCursor::Piece::set(const char* t, size_t tlen, int pos) {
  tok = t;
  toklen = tlen;
  char digits[12];
  size_t n = 0;
  for (unsigned v = static_cast<unsigned>(pos); v || n == 0; v /= 10) digits[n++] = '0' + v % 10;
  suffix[0] = '_';
  for (size_t k = 0; k < n; k++) suffix[1 + k] = digits[n - 1 - k];
  suflen = n + 1;
}

bool NgramCursor::next(char* out, Position& pos) {
  // A local pointer: stores through `out` could alias the member.
  const char* p = p_;
  while (is_token_delim(*p)) p++;
  if (!*p) {
    p_ = p;
    return false;
  }
  const char* tok = p;
  while (!ends_token(*p)) p++;
  p_ = p;
  i_++;
  Piece& cur = last_[i_ % 3];
  cur.set(tok, static_cast<size_t>(p - tok), i_);

  // The unigram, bigram and trigram are suffixes of one string
  // ("pp_{i-2} prev_{i-1} w_i") assembled from the last three pieces; len[k] is
  // the length of the n-gram of order k + 1.
  const Piece* pieces[3];
  int nfit = 0;
  for (size_t total = 0; nfit < 3 && nfit < i_; nfit++) {
    pieces[nfit] = &last_[(i_ - nfit) % 3];
    total += pieces[nfit]->len() + (nfit > 0);
    if (total >= kMaxString) break;
    pos.len[nfit] = total;
  }
  pos.count = nfit;
  pos.used = 0;
  if (nfit == 0) return true;

  char* q = out;
  for (int k = nfit - 1; k >= 0; k--) {
    memcpy(q, pieces[k]->tok, pieces[k]->toklen);
    q += pieces[k]->toklen;
    memcpy(q, pieces[k]->suffix, pieces[k]->suflen);
    q += pieces[k]->suflen;
    *q++ = k > 0 ? ' ' : '\0';
  }
  for (int k = 0; k < nfit; k++) pos.grams[k] = out + pos.len[nfit - 1] - pos.len[k];
  pos.used = pos.len[nfit - 1] + 1;
  return true;
}

int GenerateUptoTrigrams(const char* s, DSTHashTable ht, int* ngrams, int capacity) {
  return static_cast<const Dictionary*>(ht->data)->index->find(s, ngrams, capacity);
}
