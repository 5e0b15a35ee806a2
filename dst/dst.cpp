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
  const dst_hash_size_rec* r = size_row(n);
  if (r && DSTStrHasher::applies(n)) {
    // Five bytes per reduction (see DSTStrHasher); m = floor(2^64 / n) is the
    // row's reciprocal less one, n being no power of two.
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

DSTStrHasher::DSTStrHasher(size_t n)
    : n_(n), m_(UINT64_MAX / n), one_(static_cast<uint32_t>(1 % n)) {}

DSTStrHasher::Part DSTStrHasher::append(Part a, const char* s, size_t len) const {
  // Five bytes at a time: hash and shift stay below 2^24, so shifting either
  // by 40 bits still fits 64 bits.
  const unsigned char* p = reinterpret_cast<const unsigned char*>(s);
  uint64_t h = a.hash, sh = a.shift;
  while (len > 0) {
    size_t k = len < 5 ? len : 5;
    uint64_t chunk = 0;
    for (size_t i = 0; i < k; i++) chunk = (chunk << 8) | p[i];
    h = mod((h << (8 * k)) | chunk);
    sh = mod(sh << (8 * k));
    p += k;
    len -= k;
  }
  return Part{static_cast<uint32_t>(h), static_cast<uint32_t>(sh)};
}

uint32_t DSTStrTag(const char* s, size_t len) {
  uint32_t head = 0, tail = 0;
  if (len >= 4) {
    memcpy(&head, s, 4);
    memcpy(&tail, s + len - 4, 4);
  } else {
    for (size_t i = 0; i < len; i++) head = (head << 8) | static_cast<unsigned char>(s[i]);
  }
  uint32_t t = static_cast<uint32_t>(len) * 0x9E3779B1u ^ head;
  return t ^ ((tail << 13) | (tail >> 19));
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
