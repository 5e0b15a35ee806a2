// Six significant digits by one scaled rounding, checked for ambiguity.
#include "score_format.h"

#include <charconv>
#include <cmath>

namespace {

constexpr double kPow10[] = {1e6, 1e7, 1e8, 1e9};  // 10^(5 - e) for e = -1 to -4

}  // namespace

size_t FormatScore(double x, char* out) {
  // A value in [1e-4, 1) with exponent e (-4 to -1) is written in fixed
  // notation with 5 - e decimals, trailing zeros removed. Its 6 significant
  // digits are x * 10^(5 - e) rounded to an integer; the product is off by at
  // most a few units in its last place (about 1e-10 here), so unless its
  // fraction lies within 1e-6 of one half, rounding the product rounds x.
  if (x >= 1e-4 && x < 1.0) {
    int e = x >= 0.1 ? -1 : x >= 0.01 ? -2 : x >= 0.001 ? -3 : -4;
    const double scaled = x * kPow10[-1 - e];
    const double floor = std::floor(scaled);
    const double fraction = scaled - floor;
    if (std::fabs(fraction - 0.5) > 1e-6) {
      long digits = static_cast<long>(floor) + (fraction > 0.5);
      if (digits == 1000000) {  // rounded up to the next power of ten
        digits = 100000;
        e++;
      }
      if (e == 0) {
        out[0] = '1';
        return 1;
      }
      // "0." then -e - 1 zeros, then the 6 digits without trailing zeros.
      char* p = out;
      *p++ = '0';
      *p++ = '.';
      for (int z = -e - 1; z > 0; z--) *p++ = '0';
      while (digits % 10 == 0) digits /= 10;
      char buf[8];
      int n = 0;
      for (; digits > 0; digits /= 10) buf[n++] = static_cast<char>('0' + digits % 10);
      while (n > 0) *p++ = buf[--n];
      return static_cast<size_t>(p - out);
    }
  }
  return static_cast<size_t>(std::to_chars(out, out + 32, x, std::chars_format::general, 6).ptr - out);
}
