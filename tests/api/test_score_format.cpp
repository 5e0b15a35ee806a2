// Scores are written exactly as printf's "%g" writes them.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "score_format.h"

namespace {

std::string Printf(double x) {
  char buf[64];
  snprintf(buf, sizeof buf, "%g", x);
  return buf;
}

std::string Formatted(double x) {
  char buf[32];
  return std::string(buf, FormatScore(x, buf));
}

// Values on and next to every kind of rounding boundary of 6 significant
// digits in [1e-4, 1), around the ends of that range, and anywhere else.
TEST(ScoreFormat, AgreesWithPrintfOnBoundariesAndRandomValues) {
  std::mt19937_64 rng(11);
  std::uniform_real_distribution<double> unit(0.0, 1.0);
  auto check = [](double x) { ASSERT_EQ(Formatted(x), Printf(x)) << std::hexfloat << x; };
  auto around = [&](double x) {
    double below = x, above = x;
    for (int k = 0; k < 3; k++) {
      check(below);
      check(above);
      below = std::nextafter(below, -1.0);
      above = std::nextafter(above, 2.0);
    }
  };
  for (double p : {1e-5, 1e-4, 1e-3, 1e-2, 1e-1, 1.0}) around(p);
  for (int e = 6; e <= 9; e++) {
    for (int n = 0; n < 20000; n++) {
      // A tie (k + 0.5) / 10^e, and a 6-digit value k / 10^e.
      const double k = std::floor(unit(rng) * 900000) + 100000;
      around((k + 0.5) / std::pow(10.0, e));
      around(k / std::pow(10.0, e));
    }
  }
  for (int n = 0; n < 300000; n++) {
    check(unit(rng));
    check(std::pow(10.0, -8 * unit(rng)));
    check(1 / (1 + std::exp(-60 * (unit(rng) - 0.5))));
    uint64_t bits = rng();
    double any;
    memcpy(&any, &bits, sizeof any);
    check(any);
  }
  for (double x : {0.0, -0.0, 1.0, -1.0, 0.5, 2.5, 1e300, 5e-324, HUGE_VAL, -HUGE_VAL, std::nan("")})
    check(x);
}

}  // namespace
