// Dictionary loading and n-gram feature generation.
#include "loadfeats.h"

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

constexpr size_t kInitialSize = 40000;
constexpr int kLineBuf = 1024;
constexpr size_t kLineMax = kLineBuf - 2;  // a read of this many characters is too long
constexpr size_t kFeatBuf = 1024;          // room for the longest feature string and its NUL
// Feature strings of several positions are looked up together (see
// GenerateUptoTrigrams); a batch holds this many bytes and probes at most.
constexpr size_t kBatchText = 16 * kFeatBuf;
constexpr int kBatchProbes = 48;

// Delimiters that end the index field of a dictionary line.
inline bool is_index_delim(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f';
}

// Delimiters between the tokens of an input line.
inline bool is_token_delim(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == ',';
}

char* copy_string(const char* s, size_t len) {
  char* copy = static_cast<char*>(SYSDefaultHandle->memalloc(SYSDefaultHandle, len + 1));
  memcpy(copy, s, len);
  copy[len] = '\0';
  return copy;
}

void free_key(void*, void* entry) {
  SYSDefaultHandle->memfree(SYSDefaultHandle, static_cast<HE*>(entry)->key);
}
void free_inv_key(void*, void* entry) {
  SYSDefaultHandle->memfree(SYSDefaultHandle, static_cast<HEInv*>(entry)->key);
}

// One "token_pos" piece of a feature string: the token stays in the input line
// and only the "_pos" suffix is formatted.
struct Piece {
  const char* tok;
  size_t toklen;
  char suffix[16];
  size_t suflen;

  size_t len() const { return toklen + suflen; }
  void set(const char* t, size_t tlen, int pos) {
    tok = t;
    toklen = tlen;
    char digits[12];
    size_t n = 0;
    for (unsigned v = static_cast<unsigned>(pos); v || n == 0; v /= 10) digits[n++] = '0' + v % 10;
    suffix[0] = '_';
    for (size_t k = 0; k < n; k++) suffix[1 + k] = digits[n - 1 - k];
    suflen = n + 1;
  }
};

}  // namespace

void Error(const char* msg) {
  fprintf(stderr, "%s\n", msg);
  exit(-1);
}

void badinput(const char* file, int nl, const char* msg, const char* line) {
  fprintf(stderr, "%s at %d in %s file\n", msg, nl, file);
  fprintf(stderr, "\t Offending line: %s\n", line);
  exit(-1);
}

DSTHashTable LoadFeats(const char* file, int inv) {
  FILE* fp = fopen(file, "r");
  if (!fp) Error(("can't open " + std::string(file) + " -- lexiconread").c_str());
  DSTHashTable ht = inv ? DSTHashCreate(SYSDefaultHandle, kInitialSize, sizeof(HEInv), DSTIntCmp,
                                        DSTIntHash, nullptr)
                        : DSTHashCreate(SYSDefaultHandle, kInitialSize, sizeof(HE), DSTStrCmp,
                                        DSTStrHash, nullptr);
  char line[kLineBuf];
  for (int nl = 0; fgets(line, kLineBuf - 1, fp); nl++) {
    size_t len = strlen(line);
    bool too_long = len == kLineMax;
    if (len > 0 && line[len - 1] == '\n') line[--len] = '\0';
    if (too_long) badinput(file, nl, "line too long", line);

    // Index: the first run of non-delimiters; then exactly one delimiter; the
    // string is the rest of the line and must not be empty.
    const char* idx = line;
    while (is_index_delim(*idx)) idx++;
    const char* idx_end = idx;
    while (*idx_end && !is_index_delim(*idx_end)) idx_end++;
    if (idx_end == idx || !*idx_end || !idx_end[1]) {
      badinput(file, nl, "wrong number of columns", line);
    }
    const char* str = idx_end + 1;

    char* num_end;
    long val = strtol(idx, &num_end, 0);
    if (num_end != idx_end || val < 0 || val > INT_MAX) {
      badinput(file, nl, "bad non-negative number", line);
    }

    char* key = copy_string(str, static_cast<size_t>(line + len - str));
    if (inv) {
      HEInv e = {static_cast<int>(val), key};
      DSTHashInsert(ht, &e);
    } else {
      HE e = {key, static_cast<int>(val)};
      DSTHashInsert(ht, &e);
    }
  }
  fclose(fp);
  return ht;
}

void FreeFeats(DSTHashTable ht, int inv) {
  DSTHashWalk(ht, inv ? free_inv_key : free_key, nullptr);
  DSTHashFree(ht);
}

int MapWord2Ind(const char* s, DSTHashTable ht) {
  HE probe = {const_cast<char*>(s), 0};
  const HE* found = static_cast<const HE*>(DSTHashFind(ht, &probe));
  return found ? found->val : -1;
}

int GenerateUptoTrigrams(const char* s, DSTHashTable ht, int* ngrams, int capacity) {
  // The unigram, bigram and trigram of a position are suffixes of one string
  // ("pp_{i-2} prev_{i-1} w_i"), assembled from the pieces of the last three
  // tokens. The strings of several positions are collected in `text` and looked
  // up as one batch, so that their chain walks overlap; indices are still
  // emitted in generation order.
  char text[kBatchText];
  HE probes[kBatchProbes];
  const void* probe_ptrs[kBatchProbes];
  void* found[kBatchProbes];
  for (int k = 0; k < kBatchProbes; k++) probe_ptrs[k] = &probes[k];
  size_t used = 0;
  int nprobes = 0;
  int indx = 0;
  auto flush = [&] {
    DSTHashFindBatch(ht, probe_ptrs, nprobes, found);
    for (int k = 0; k < nprobes && indx < capacity; k++) {
      if (found[k] && static_cast<const HE*>(found[k])->val != -1) {
        ngrams[indx++] = static_cast<const HE*>(found[k])->val;
      }
    }
    used = 0;
    nprobes = 0;
  };

  Piece last[3];
  int i = 0;
  const char* p = s;
  while (indx < capacity) {
    while (is_token_delim(*p)) p++;
    if (!*p) break;
    const char* tok = p;
    while (*p && !is_token_delim(*p)) p++;
    i++;
    last[i % 3].set(tok, static_cast<size_t>(p - tok), i);

    // len[k]: length of the n-gram of order k + 1; orders that do not fit the
    // feature buffer are skipped, and so are the longer ones.
    const Piece* pieces[3];
    size_t len[3];
    int nfit = 0;
    for (size_t total = 0; nfit < 3 && nfit < i; nfit++) {
      pieces[nfit] = &last[(i - nfit) % 3];
      total += pieces[nfit]->len() + (nfit > 0);
      if (total >= kFeatBuf) break;
      len[nfit] = total;
    }
    if (nfit == 0) continue;
    if (kBatchText - used < kFeatBuf || nprobes + 3 > kBatchProbes) flush();

    char* base = text + used;
    char* q = base;
    for (int k = nfit - 1; k >= 0; k--) {
      memcpy(q, pieces[k]->tok, pieces[k]->toklen);
      q += pieces[k]->toklen;
      memcpy(q, pieces[k]->suffix, pieces[k]->suflen);
      q += pieces[k]->suflen;
      *q++ = k > 0 ? ' ' : '\0';
    }
    for (int k = 0; k < nfit; k++) probes[nprobes++].key = base + len[nfit - 1] - len[k];
    used += len[nfit - 1] + 1;
  }
  if (nprobes > 0 && indx < capacity) flush();
  return indx;
}
