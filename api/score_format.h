// Scores as printf's "%g" writes them (6 significant digits), without the
// cost of a general formatter on the common case of a score in [0.0001, 1).
// Thread-safety: stateless.
#ifndef API_SCORE_FORMAT_H
#define API_SCORE_FORMAT_H

#include <cstddef>

// Writes `x` as snprintf(out, size, "%g", x) would, without the NUL, into
// `out` (32 bytes of room) and returns the number of characters written.
size_t FormatScore(double x, char* out);

#endif  // API_SCORE_FORMAT_H
