// File handle over plain, gzip-compressed, in-memory or standard-input text,
// and the string utilities that read values and parameter-file blocks.
#ifndef ZDUTIL_SYS_H
#define ZDUTIL_SYS_H

#include <zlib.h>

#include <cstdio>

#include "ZDutil_vec.h"

// At most one of `stream` and `gz` is open. A ZDIO owns what it opened and
// closes it in clean_close() or, at the latest, on destruction; it cannot be
// copied. A caller may set `stream` to a FILE* of its own: clean_close() then
// closes that stream too; the destructor leaves it open when `borrowed` is set.
class ZDIO {
 public:
  string_t* text = nullptr;  // owned copy of the text read by open_string(), or null
  FILE* stream = nullptr;    // plain file, standard input or in-memory text
  gzFile gz = nullptr;       // gzip file
  string_t path;             // as given to force_open(); empty otherwise
  bool borrowed = false;     // `stream` is the caller's: never closed here

  // scanline() reads lines in pieces of kPieceLength characters; a line that
  // fills kMaxFullPieces pieces without ending is reported as longer than
  // kMaxInputLineLength.
  static const int kPieceLength = 4096;
  static const int kMaxFullPieces = 24414;
  static const int kMaxInputLineLength = 100000000;

  ZDIO() = default;
  // Closes what is still open (unless borrowed): a load that fails half-way
  // leaves no file behind.
  ~ZDIO() {
    if (borrowed) stream = nullptr;
    clean_close();
  }
  ZDIO(const ZDIO&) = delete;
  ZDIO& operator=(const ZDIO&) = delete;

  // Opens `file` with fopen (or gzopen when `compressed`); the name "STDIN"
  // with a mode starting with 'r' stands for standard input. Failure ends the
  // process with a user-input error.
  void force_open(const char* file, const char* mode, bool compressed);
  // Reads a private copy of `s` (null is the empty text) as a plain stream.
  void open_string(const char* s);
  // Reads the next line, its newline included when present, into `line`
  // (previous content replaced). Returns false at end of file, `line` empty.
  bool scanline(string_t& line);
  // Next byte as an unsigned char value, or -1 at end of file.
  // scanline() and read_char() on a closed handle end the process.
  int read_char();
  // At end of input: a read error or a damaged gzip stream (truncated,
  // corrupt) ends the process instead of passing for the end of the file.
  void check_read_error() const;
  // Closes whatever is open, frees the private text and nulls every member.
  void clean_close();
  bool is_open() const { return stream || gz; }
};

// Conversions of value texts and the block tokenizer of parameter files.
// Every failure ends the process through ZDEvent.
namespace ZDString {

// The characters that separate the tokens of a parameter file's blocks
// (besides NUL, which object2strings reads as one of them).
inline constexpr char kBlockDelimiters[] = " \t\n\r\f";

// strtol in base 0; a text with no number ends the process. Trailing
// characters are ignored (12abc gives 12).
int atol(const char* text);
// strtod; a text with no number ends the process.
double atof(const char* text);
// Like atol but returns whether a number was read instead of failing.
bool atol_check(const char* text, int& result);
// Copies `text` into `result`, removing one pair of enclosing double quotes;
// a quote on one side only ends the process.
void atos(const char* text, string_t& result);
// printf into `result`; results of 32768 characters or more end the process.
void stprintf(string_t& result, const char* format, ...) ZD_PRINTF(2, 3);
// Reads the next block "type name { ... }" from `io` into `tokens`: the
// header words, then "{", then the body's tokens up to its closing "}".
// Returns false when no further block starts before end of file.
bool object2strings(ZDIO& io, Mvec<string_t>& tokens);

}  // namespace ZDString

#endif
