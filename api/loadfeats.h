// Feature dictionary and n-gram features: loads the dictionary file (one
// "index string" entry per line) into a hash table and turns input lines into
// the indices of their position-tagged unigram, bigram and trigram features.
// A dictionary that cannot be read or is malformed throws DictionaryError.
#ifndef API_LOADFEATS_H
#define API_LOADFEATS_H

#include <atomic>
#include <cstddef>
#include <exception>
#include <stdexcept>
#include <string>
#include <thread>

#include "dsthash.h"
#include "work_share.h"

// Entry of the string-keyed dictionary: feature string to feature index.
struct HE {
  char* key;  // copy of the feature string, owned by the table
  int val;    // feature index, 0 or greater
};

// Entry of the inverse dictionary: feature index to feature string.
struct HEInv {
  int val;
  char* key;
};

// An unreadable or malformed dictionary. what() is the whole report, for
// instance "wrong number of columns at 3 in dict.txt file\n\t Offending
// line: 17"; the decoder prints it on standard error and exits with 255.
class DictionaryError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Loads the dictionary `file`: keyed by string when `inv` is 0, by index
// otherwise. The caller owns the table (FreeFeats). Throws DictionaryError at
// the first bad line (see badinput), DSTError when memory runs out; a failed
// load frees all it took. A string-keyed table is read through MapWord2Ind
// and GenerateUptoTrigrams only: its entries are linked in, in file order, on
// the first MapWord2Ind, since lines are answered without them.
DSTHashTable LoadFeats(const char* file, int inv);

// LoadFeats(file, 0) on a thread of its own, so that the caller's other work
// (the decoder loads its model meanwhile) overlaps it. take() helps with the
// rest of the load, then hands the table over or rethrows what the load
// threw. Without
// take() (the model failed), the destructor stops the load at its next block
// of lines, waits for the thread and frees what the load took. When no
// thread can be started, take() loads the dictionary itself. One thread uses
// an object.
class FeatsLoad {
 public:
  explicit FeatsLoad(std::string file);
  ~FeatsLoad();
  FeatsLoad(const FeatsLoad&) = delete;
  FeatsLoad& operator=(const FeatsLoad&) = delete;

  // The table (owned by the caller from now on); call it once.
  DSTHashTable take();

 private:
  void load() noexcept;

  std::string file_;
  std::atomic<bool> abandoned_{false};  // set when the table will not be taken
  WorkShare share_;  // take() helps the load through it
  std::thread thread_;
  DSTHashTable table_ = nullptr;
  std::exception_ptr failure_;
};

// Releases a table from LoadFeats together with its key strings.
void FreeFeats(DSTHashTable ht);

// The index stored for `s` in a string-keyed dictionary, or -1. Safe on
// several threads at once.
int MapWord2Ind(const char* s, DSTHashTable ht);

// Position-tagged n-gram strings of one line, position by position. The line
// is split into tokens at blanks, tabs, newlines and commas; at token position
// i (from 1) the strings are the unigram "w_i", the bigram
// "w_{i-1}_{i-1} w_i_i" and the trigram "w_{i-2}_{i-2} w_{i-1}_{i-1} w_i_i".
// The cursor only reads the line, which must outlive it. The feature extractor
// counts these strings; the decoder finds the same ones without forming them
// (GenerateUptoTrigrams).
class NgramCursor {
 public:
  // Room `next` needs in its output: the longest string and its NUL.
  static constexpr size_t kMaxString = 1024;

  // The strings of one token position.
  struct Position {
    int count;             // strings formed, 0 to 3
    const char* grams[3];  // grams[k] is the n-gram of order k + 1
    size_t len[3];         // their lengths
    size_t used;           // bytes of the output buffer the strings take
  };

  explicit NgramCursor(const char* line) : p_(line) {}

  // Forms the strings of the next token position in `out` (kMaxString bytes of
  // room), the shorter ones as suffixes of the trigram. An order whose string
  // would take kMaxString bytes or more is left out with the longer ones, so
  // `count` may be 0. Returns false, forming nothing, at the end of the line.
  bool next(char* out, Position& pos);

 private:
  // One "token_pos" piece: the token stays in the line, only "_pos" is formatted.
  struct Piece {
    const char* tok;
    size_t toklen;
    char suffix[16];
    size_t suflen;

    size_t len() const { return toklen + suflen; }
    void set(const char* t, size_t tlen, int pos);
  };

  const char* p_;
  int i_ = 0;  // position of the last token
  Piece last_[3];
};

// Finds the strings of NgramCursor for the line `s` in the dictionary `ht`
// (from LoadFeats(file, 0): its NgramIndex answers, exactly as the table would
// for each string) and writes the indices found to `ngrams` in generation
// order (per position: unigram, bigram, trigram); returns their number. At
// most `capacity` indices are written. Safe on several threads at once.
int GenerateUptoTrigrams(const char* s, DSTHashTable ht, int* ngrams, int capacity);

// Throws DictionaryError(msg).
[[noreturn]] void Error(const char* msg);

// Throws DictionaryError("msg at nl in file file\n\t Offending line: line").
// `nl` is the 0-based number of the bad line.
[[noreturn]] void badinput(const char* file, int nl, const char* msg, const char* line);

#endif  // API_LOADFEATS_H
