// Key functions for string- and int-keyed entries.
#include <cstring>

#include "dsthash.h"

namespace {

// x mod d for 32-bit x and d, with m = ceil(2^64 / d): the low 64 bits of m * x
// are the fractional part of x / d scaled by 2^64, and multiplying that by d
// leaves the remainder in the high 64 bits (exact for all 32-bit x and d).
inline uint32_t fastmod(uint32_t x, uint64_t m, uint32_t d) {
  uint64_t frac = m * x;
  return static_cast<uint32_t>((static_cast<unsigned __int128>(frac) * d) >> 64);
}

// The size-table row whose bucket count is n, or null. Each count lies between
// 2^(r+1) and 2^(r+2) for its row r.
inline const dst_hash_size_rec* size_row(size_t n) {
  if (n < 2) return nullptr;
  int r = 62 - __builtin_clzll(n);
  if (r >= DST_HASH_NSIZES || dsthashsz[r].buckets != n) return nullptr;
  return &dsthashsz[r];
}

}  // namespace

size_t DSTStrHash(void*, const void* key, size_t n) {
  const unsigned char* s = *static_cast<const unsigned char* const*>(key);
  uint32_t h = 0;
  if (const dst_hash_size_rec* r = size_row(n)) {
    const uint32_t d = static_cast<uint32_t>(n);
    for (; *s; s++) h = fastmod((h << 8) + *s, r->recip, d);
  } else {
    for (; *s; s++) h = static_cast<uint32_t>(((h << 8) + *s) % n);
  }
  return h;
}

int DSTStrCmp(void*, const void* a, const void* b) {
  const unsigned char* p = *static_cast<const unsigned char* const*>(a);
  const unsigned char* q = *static_cast<const unsigned char* const*>(b);
  while (*p && *p == *q) {
    p++;
    q++;
  }
  return static_cast<int>(*p) - static_cast<int>(*q);
}

size_t DSTIntHash(void*, const void* key, size_t n) {
  uint32_t k;
  memcpy(&k, key, sizeof k);
  return k % n;
}

int DSTIntCmp(void*, const void* a, const void* b) {
  int32_t x, y;
  memcpy(&x, a, sizeof x);
  memcpy(&y, b, sizeof y);
  return (x > y) - (x < y);
}
