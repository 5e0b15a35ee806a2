#include "ZDutil_sys.h"

#include <sys/stat.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

void ZDIO::force_open(const char* file, const char* mode, bool compressed) {
  path.init(file);
  if (mode[0] == 'r' && strcmp(file, "STDIN") == 0) {
    ZDEvent::trace("Use stdin for file\n");
    stream = stdin;
    return;
  }
  // A folder opens for reading but reads as an empty file: refuse it like a
  // file that cannot be opened, so that nothing is read as silently empty.
  struct stat st;
  bool folder = stat(file, &st) == 0 && S_ISDIR(st.st_mode);
  if (!folder && compressed)
    gz = gzopen(file, mode);
  else if (!folder)
    stream = fopen(file, mode);
  if (!stream && !gz)
    ZDEvent::user_input_err("ZDIO::force_open", "Cannot open %s for [%s]\n", file, mode);
}

void ZDIO::open_string(const char* s) {
  text = new string_t(s);
  size_t len = static_cast<size_t>(text->length());
  stream = fmemopen(text->data, len, "r");
  if (!stream)
    ZDEvent::memory_or_implement_err("ZDIO::open_string", "cannot read a text of %zu bytes", len);
}

bool ZDIO::scanline(string_t& line) {
  if (!stream && !gz) ZDEvent::user_input_err("ZDIO::fgets", "trying to read unopened file\n");
  line.set_nitems(0);
  for (int full_pieces = 0;; full_pieces++) {
    if (full_pieces == kMaxFullPieces)
      ZDEvent::user_input_err("ZDString::line2strings",
                              "Line is longer than MAX_INPUT_LINE_LENGTH=%d\n If this is not a "
                              "problem in your input file, you should increase this value\n",
                              kMaxInputLineLength);
    // Room for one more piece and its NUL; capacity doubles so that a long
    // line is copied a bounded number of times.
    int need = line.nitems + kPieceLength + 1;
    if (line.nalloc < need) line.fresize(need > 2 * line.nalloc ? need : 2 * line.nalloc);
    char* at = line.data + line.nitems;
    bool got = gz ? gzgets(gz, at, kPieceLength + 1) != nullptr
                  : fgets(at, kPieceLength + 1, stream) != nullptr;
    if (!got) {
      *at = 0;
      check_read_error();
      return full_pieces > 0;
    }
    int n = static_cast<int>(strlen(at));
    line.nitems += n;
    if (n < kPieceLength || at[n - 1] == '\n') return true;
  }
}

int ZDIO::read_char() {
  if (!gz && !stream) ZDEvent::user_input_err("ZDIO::fgets", "trying to read unopened file\n");
  // A ZDIO is read by one thread: the stream's lock is not needed per character.
  int c = gz ? gzgetc(gz) : getc_unlocked(stream);
  if (c == -1) check_read_error();
  return c;
}

void ZDIO::check_read_error() const {
  if (gz) {
    int code = Z_OK;
    const char* cause = gzerror(gz, &code);
    if (code != Z_OK && code != Z_STREAM_END)
      ZDEvent::user_input_err("ZDIO::scanline", "cannot read %s\n", cause);  // names the file
  } else if (ferror(stream)) {
    ZDEvent::user_input_err("ZDIO::scanline", "cannot read %s: %s\n", path.c_str(),
                            strerror(errno));
  }
}

void ZDIO::clean_close() {
  if (gz)
    gzclose(gz);
  else if (stream)
    fclose(stream);
  delete text;
  text = nullptr;
  path.init("");
  stream = nullptr;
  gz = nullptr;
}

namespace ZDString {

namespace {

// Appends the `len` characters at `s` to `tokens` as one token, reusing the
// slot's storage when the list had held that many tokens before.
void push_token(Mvec<string_t>& tokens, const char* s, int len) {
  if (tokens.nitems == tokens.nalloc) tokens.resize(2 * tokens.nitems + 256);
  string_t& t = tokens.data[tokens.nitems++];
  t.fresize(len + 1);
  if (len > 0) memcpy(t.data, s, static_cast<size_t>(len));  // an empty "" has no text at all
  t.data[len] = 0;
  t.nitems = len;
}

void push_token(Mvec<string_t>& tokens, char c) {
  push_token(tokens, &c, 1);
}

// Whether c is one of kBlockDelimiters or NUL (which strchr finds in any set).
inline bool is_delimiter(char c) {
  static constexpr auto kTable = [] {
    std::array<bool, 256> table{};
    table[0] = true;
    for (const char* d = kBlockDelimiters; *d; d++) table[static_cast<unsigned char>(*d)] = true;
    return table;
  }();
  return kTable[static_cast<unsigned char>(c)];
}

// Cuts `text` at runs of delimiter characters (kBlockDelimiters), appends the
// non-empty pieces to `tokens` and leaves `text` empty.
void my_strtok(Mvec<char>& text, Mvec<string_t>& tokens) {
  int start = 0;
  for (int i = 0; i <= text.nitems; i++) {
    if (i < text.nitems && !is_delimiter(text[i])) continue;
    if (i > start) push_token(tokens, text.data + start, i - start);
    start = i + 1;
  }
  text.set_nitems(0);
}

[[noreturn]] void unclosed_block(Mvec<char>& text) {
  text.append(0);
  ZDEvent::user_input_err("extract_block", "Block [%s] was opened with { and is not closed with }",
                          text.data);
}

// Reads a block body after its opening brace, up to the matching closing
// brace. Nesting is tracked with a depth counter rather than by recursion,
// so arbitrarily deep braces cannot exhaust the stack.
void extract_block(ZDIO& io, Mvec<string_t>& tokens) {
  Mvec<char> pending;
  long depth = 1;
  for (;;) {
    int c = io.read_char();
    switch (c) {
      case -1:
        unclosed_block(pending);
      case '#':
        do {
          c = io.read_char();
          if (c == -1) unclosed_block(pending);
        } while (c != '\n');
        pending.append('\n');
        break;
      case '"': {
        my_strtok(pending, tokens);
        while ((c = io.read_char()) != '"') {
          if (c == -1) unclosed_block(pending);
          pending.append(static_cast<char>(c));
        }
        push_token(tokens, pending.data, pending.nitems);
        pending.set_nitems(0);
        break;
      }
      case '{':
      case '}':
      case ',':
      case '=':
        my_strtok(pending, tokens);
        push_token(tokens, static_cast<char>(c));
        if (c == '{') depth++;
        if (c == '}' && --depth == 0) return;
        break;
      default:
        pending.append(static_cast<char>(c));
    }
  }
}

// Shared by atol and atol_check: converts with strtol in base 0 and reports
// whether any character was converted.
bool convert_long(const char* text, int& result) {
  char* end = nullptr;
  long v = strtol(text, &end, 0);
  result = static_cast<int>(v);
  return end != text;
}

}  // namespace

int atol(const char* text) {
  int v;
  if (!convert_long(text, v))
    ZDEvent::data_input_err("ZDString::atol", "%s is not an integer number\n", text);
  return v;
}

double atof(const char* text) {
  char* end = nullptr;
  double v = strtod(text, &end);
  if (end == text) ZDEvent::data_input_err("ZDString::atof", "%s is not an double number\n", text);
  return v;
}

bool atol_check(const char* text, int& result) {
  return convert_long(text, result);
}

void atos(const char* text, string_t& result) {
  size_t n = strlen(text);
  bool first = n >= 2 && text[0] == '"';
  bool last = n >= 2 && text[n - 1] == '"';
  if (first != last)
    ZDEvent::data_input_err("ZDString::atos", "[%s] only uses quotes on one side", text);
  if (!first) {
    result.init(text);
    return;
  }
  int len = static_cast<int>(n - 2);
  result.fresize(len + 1);
  memmove(result.data, text + 1, static_cast<size_t>(len));
  result.data[len] = 0;
  result.nitems = len;
}

void stprintf(string_t& result, const char* format, ...) {
  static const int kWorkLength = 32768;
  char work[kWorkLength];
  va_list args;
  va_start(args, format);
  int len = vsnprintf(work, sizeof(work), format, args);
  va_end(args);
  if (len < 0 || len >= kWorkLength)
    ZDEvent::data_input_err("ZDString::stprintf",
                            "cannot create string with format %s (len is %d)\n", format, len);
  result.init(work);
}

bool object2strings(ZDIO& io, Mvec<string_t>& tokens) {
  tokens.set_nitems(0);
  Mvec<char> header;
  for (;;) {
    int c = io.read_char();
    if (c == -1) return false;
    if (c == '{') break;
    if (c == '#') {
      do {
        c = io.read_char();
        if (c == -1) return false;
      } while (c != '\n');
    }
    header.append(static_cast<char>(c));
  }
  my_strtok(header, tokens);
  push_token(tokens, '{');
  extract_block(io, tokens);
  return true;
}

}  // namespace ZDString
