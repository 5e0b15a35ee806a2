// Feature dictionary and n-gram features: loads the dictionary file (one
// "index string" entry per line) into a hash table and turns input lines into
// the indices of their position-tagged unigram, bigram and trigram features.
// Malformed dictionaries end the process with status 255.
#ifndef API_LOADFEATS_H
#define API_LOADFEATS_H

#include "dsthash.h"

// Entry of the string-keyed dictionary: feature string to feature index.
struct HE {
  char* key;  // heap copy of the feature string, owned by the table
  int val;    // feature index, 0 or greater
};

// Entry of the inverse dictionary: feature index to feature string.
struct HEInv {
  int val;
  char* key;
};

// Loads the dictionary `file`: keyed by string when `inv` is 0, by index
// otherwise. Stops the process at the first bad line (see badinput).
DSTHashTable LoadFeats(const char* file, int inv);

// Releases a table from LoadFeats together with its key strings.
void FreeFeats(DSTHashTable ht, int inv);

// The index stored for `s` in a string-keyed dictionary, or -1.
int MapWord2Ind(const char* s, DSTHashTable ht);

// Splits `s` into tokens at blanks, tabs, newlines and commas and, for each
// token position i (from 1), looks up "w_i", then "w_{i-1}_{i-1} w_i_i", then
// "w_{i-2}_{i-2} w_{i-1}_{i-1} w_i_i"; writes the indices found to `ngrams` in
// that order and returns their number. At most `capacity` indices are written;
// a feature string longer than 1023 bytes is skipped. `s` is only read.
int GenerateUptoTrigrams(const char* s, DSTHashTable ht, int* ngrams, int capacity);

// Writes "msg\n" to standard error and exits with status 255.
[[noreturn]] void Error(const char* msg);

// Writes "msg at nl in file file\n\t Offending line: line\n" to standard error
// and exits with status 255. `nl` is the 0-based number of the bad line.
[[noreturn]] void badinput(const char* file, int nl, const char* msg, const char* line);

#endif  // API_LOADFEATS_H
