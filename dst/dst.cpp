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

// Bucket counts up to 2^24 never make a step of DSTStrHash lose bits, so the
// hash is the string's value as a base-256 number mod n and can be reduced
// five bytes at a time: h < 2^24 shifted by 40 bits still fits 64 bits.
inline bool takes_five_bytes(size_t n) {
  return n <= (size_t{1} << 24);
}

}  // namespace

size_t DSTStrHash(void*, const void* key, size_t n) {
  const unsigned char* s = *static_cast<const unsigned char* const*>(key);
  const dst_hash_size_rec* r = size_row(n);
  if (r && takes_five_bytes(n)) {
    // m = floor(2^64 / n), the row's reciprocal less one as n is no power of
    // two, puts the quotient estimate of x / n at most one below the true one.
    const uint64_t m = r->recip - 1;
    uint64_t h = 0;
    for (;;) {
      uint64_t chunk = 0;
      int k = 0;
      for (; k < 5 && s[k]; k++) chunk = (chunk << 8) | s[k];
      if (k == 0) break;
      uint64_t x = (h << (8 * k)) | chunk;
      uint64_t q = static_cast<uint64_t>((static_cast<unsigned __int128>(x) * m) >> 64);
      h = x - q * n;
      if (h >= n) h -= n;
      if (k < 5) break;
      s += 5;
    }
    return h;
  }
  uint32_t h = 0;
  if (r) {
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
