#include "ZDdata_vecfile.h"

#include <fcntl.h>
#include <langinfo.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cfenv>
#include <cfloat>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <string>
#include <string_view>

#include "ZDutil_sys.h"

namespace {

// What a byte is to the reader. Spaces are the parameter-file tokenizer's
// delimiters other than NUL; braces and '=' are tokens of their own, as in a
// block body; NUL, quotes, comments and list commas have no place in the
// plain shape. Every other byte belongs to a word.
enum ByteKind : unsigned char { kWord = 0, kSpace, kOpen, kClose, kEquals, kForeign };

constexpr std::array<ByteKind, 256> kKinds = [] {
  std::array<ByteKind, 256> kinds{};
  for (const char* d = ZDString::kBlockDelimiters; *d; d++)
    kinds[static_cast<unsigned char>(*d)] = kSpace;
  kinds['{'] = kOpen;
  kinds['}'] = kClose;
  kinds['='] = kEquals;
  for (unsigned char c : {'\0', '"', '#', ','}) kinds[c] = kForeign;
  return kinds;
}();

// Doubles below this in magnitude round to a finite float: FLT_MAX and half
// its unit in the last place (at the midpoint itself, ties go to infinity).
constexpr double kFloatLimit = FLT_MAX + 0x1p103;

// The powers of ten that doubles hold exactly, 10^0 to 10^22.
constexpr double kExactPowers[] = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                   1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                   1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};
static_assert(FLT_EVAL_METHOD == 0, "double operations round to double");

bool is_digit(char c) {
  return c >= '0' && c <= '9';
}

// Position in a text; no read goes past its end. Every take skips the spaces
// before its token and, when it fails, leaves the text of no further use.
class Cursor {
 public:
  Cursor(const char* begin, const char* end) : at_(begin), end_(end) {}

  const char* at() const { return at_; }
  const char* end() const { return end_; }

  // Whether only spaces are left.
  bool at_end() {
    skip_spaces();
    return at_ == end_;
  }
  // Whether a digit follows the spaces.
  bool at_digit() {
    skip_spaces();
    return at_ != end_ && is_digit(*at_);
  }
  // Takes the one-byte token of `kind` that follows the spaces, if there.
  bool take(ByteKind kind) {
    skip_spaces();
    if (at_ == end_ || kind_of(*at_) != kind) return false;
    at_++;
    return true;
  }
  // Takes the word that follows the spaces; false when none starts there.
  bool take_word(std::string_view& word) {
    skip_spaces();
    const char* start = at_;
    while (at_ != end_ && kind_of(*at_) == kWord) at_++;
    word = std::string_view(start, static_cast<size_t>(at_ - start));
    return at_ != start;
  }
  // Takes an element index: a word that strtol in base 0 reads as a plain
  // decimal, "0" or [1-9][0-9]* within int. A leading 0 (octal, hex) is left
  // to strtol.
  bool take_index(int& index) {
    skip_spaces();
    const char* start = at_;
    long long v = 0;
    while (at_ != end_ && is_digit(*at_)) {
      v = v * 10 + (*at_++ - '0');
      if (v > INT_MAX) return false;
    }
    if (at_ == start || (*start == '0' && at_ - start > 1) || !word_ends()) return false;
    index = static_cast<int>(v);
    return true;
  }
  // Takes an element value as the parser gives it, static_cast<float>(strtod
  // (word)), for a word that is a decimal number: an optional '-', digits
  // around an optional point (no '+', hex, inf or nan), an optional
  // exponent. strtod rounds correctly, as both conversions below do, so they
  // agree. A range error (underflow to zero included) or a double that
  // rounds to an infinite float is left to the parser.
  bool take_value(float& value) {
    skip_spaces();
    double d = 0.0;
    if (!take_exact_decimal(d) && !take_decimal(d)) return false;
    if (!word_ends() || !(std::fabs(d) < kFloatLimit)) return false;
    value = static_cast<float>(d);
    return true;
  }

 private:
  // The common short decimals, without from_chars: when the number's digits
  // make an integer m <= 2^53 and its exponent net of the fraction digits is
  // e, |e| <= 22, both m and 10^|e| are exact doubles, so one product or
  // quotient is the correctly rounded value (from_chars starts the same
  // way). Leaves the cursor after the number; false, the cursor unchanged,
  // for any other text.
  bool take_exact_decimal(double& d) {
    const char* p = at_;
    const bool negative = p != end_ && *p == '-';
    p += negative;
    uint64_t m = 0;  // wraps past 19 digits, which are then refused
    int digits = 0;
    for (; p != end_ && is_digit(*p); p++, digits++) m = m * 10 + static_cast<unsigned>(*p - '0');
    int fraction = 0;
    if (p != end_ && *p == '.')
      for (p++; p != end_ && is_digit(*p); p++, fraction++)
        m = m * 10 + static_cast<unsigned>(*p - '0');
    if (digits + fraction == 0 || digits + fraction > 19 || m > (uint64_t{1} << 53)) return false;
    int exponent = 0;
    if (p != end_ && (*p == 'e' || *p == 'E')) {  // without digits, 'e' is past the number
      const char* q = p + 1;
      const bool down = q != end_ && *q == '-';
      if (q != end_ && (*q == '-' || *q == '+')) q++;
      const char* first = q;
      for (; q != end_ && is_digit(*q) && q - first < 3; q++) exponent = exponent * 10 + (*q - '0');
      if (q != end_ && is_digit(*q)) return false;
      if (q != first) p = q;
      exponent = q == first ? 0 : down ? -exponent : exponent;
    }
    const int e = exponent - fraction;
    if (e < -22 || e > 22) return false;
    const double magnitude = e < 0 ? static_cast<double>(m) / kExactPowers[-e]
                                   : static_cast<double>(m) * kExactPowers[e];
    d = negative ? -magnitude : magnitude;
    at_ = p;
    return true;
  }
  // Any other decimal, read by from_chars: no byte outside the word can
  // extend a number, so it may look up to the end of the text.
  bool take_decimal(double& d) {
    const char* first = at_ + (at_ != end_ && *at_ == '-');
    if (first == end_ || !(is_digit(*first) || *first == '.')) return false;
    const std::from_chars_result r = std::from_chars(at_, end_, d);
    if (r.ec != std::errc()) return false;
    at_ = r.ptr;
    return true;
  }

  static ByteKind kind_of(char c) { return kKinds[static_cast<unsigned char>(c)]; }
  void skip_spaces() {
    while (at_ != end_ && kind_of(*at_) == kSpace) at_++;
  }
  bool word_ends() const { return at_ == end_ || kind_of(*at_) != kWord; }

  const char* at_;
  const char* end_;
};

// Whether strtod, which the parser converts values with, reads decimals as
// the cursor does: '.' as the decimal point and rounding to nearest.
bool strtod_reads_as_cursor() {
  return strcmp(nl_langinfo(RADIXCHAR), ".") == 0 && fegetround() == FE_TONEAREST;
}

// The whole content of the regular file `path`, of `size` bytes; null when
// it is not a regular file, is "STDIN" to the parser, cannot be opened or
// read, changes size meanwhile, or holds INT_MAX bytes or more (so that
// every count below fits in an int).
std::unique_ptr<char[]> read_regular_file(const char* path, size_t& size) {
  struct stat st;
  if (!path || strcmp(path, "STDIN") == 0 || stat(path, &st) != 0 || !S_ISREG(st.st_mode))
    return nullptr;
  const int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  std::unique_ptr<char[]> text;
  if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_size < INT_MAX) {
    const size_t want = static_cast<size_t>(st.st_size);
    text.reset(new (std::nothrow) char[want + 1]);  // the extra byte tells a file that grew
    size = 0;
    bool whole = false;
    while (text) {
      const ssize_t got = read(fd, text.get() + size, want + 1 - size);
      if (got <= 0) {
        whole = got == 0 && size == want;
        break;
      }
      size += static_cast<size_t>(got);
      if (size > want) break;
    }
    if (!whole) text.reset();
  }
  close(fd);
  return text;
}

// Appends a fresh slot, doubling the storage from one slot (Mvec's own
// growth starts at 256 slots, many more than a vector file has blocks).
template <class T>
T& append_slot(Mvec<T>& v) {
  if (v.nitems == v.nalloc) v.resize(2 * v.nitems + 1);
  return v.data[v.nitems++];
}

// Reads the blocks of `in`: one list per block in `lists` with its refer
// name and elements, and in `blocks` the same block as the parser would give
// it, but with its parameter pairs only (not yet loaded into the list).
// False when the text is not of the plain shape.
bool read_blocks(Cursor& in, Mvec<VecParmList>& lists, Mvec<AnyParmList>& blocks) {
  std::string_view word, name, key, value;
  do {
    if (!in.take_word(word) || word != "vector" || !in.take_word(name) || !in.take(kOpen))
      return false;
    // Words hold no brace, so the first one ahead closes the block. Each of
    // its pairs holds one '=' and, with the space that parts it from the
    // next, at least four bytes: that bounds the elements before reading.
    const char* body = in.at();
    const char* close =
        static_cast<const char*>(memchr(body, '}', static_cast<size_t>(in.end() - body)));
    if (!close) return false;
    const long long equals = std::count(body, close, '=');
    const long long bound = std::min(equals, static_cast<long long>(close - body + 1) / 4);

    VecParmList& list = append_slot(lists);
    AnyParmList& block = append_slot(blocks);
    block.type = list.type_name;
    block.refer_name.init(std::string(name).c_str());
    TableValIdx& values = list.values;
    values.set_nitems(static_cast<int>(bound));
    int n = 0;
    while (!in.take(kClose)) {
      if (in.at_digit()) {
        ElemValIdx e;
        if (n == values.nitems || !in.take_index(e.index) || !in.take(kEquals) ||
            !in.take_value(e.value))
          return false;
        values[n++] = e;
      } else {
        if (!in.take_word(key) || !in.take(kEquals) || !in.take_word(value)) return false;
        KeyValue& pair = block.add_pair(std::string(key).c_str());
        pair.value.init(std::string(value).c_str());
        if (!list.declares(pair)) return false;
      }
    }
    values.set_nitems(n);
  } while (!in.at_end());
  return true;
}

}  // namespace

bool read_plain_vector_file(const char* path, Mvec<VecParmList>& out, ParmLoadState* load) {
  if (!strtod_reads_as_cursor()) return false;
  Mvec<VecParmList> lists;
  Mvec<AnyParmList> blocks;
  {
    size_t size = 0;
    const std::unique_ptr<char[]> text = read_regular_file(path, size);
    if (!text) return false;
    Cursor in(text.get(), text.get() + size);
    if (!read_blocks(in, lists, blocks)) return false;
  }
  // As the parser: every block read before any is loaded, then each one's
  // parameters in file order, through the lists' own conversions.
  AnyParmListTable::trace_read(path, lists.nitems);
  for (int k = 0; k < lists.nitems; k++) {
    blocks[k].load_state = load;
    lists[k].load(blocks[k]);
  }
  AnyParmListTable::trace_fetched(lists.nitems, lists[0].type_name);
  lists.compress();
  out.take_over(lists);
  return true;
}
