// Process-wide reporting channel of the model library: traces, warnings and
// the error categories that end the process.
#ifndef ZDUTIL_EVENT_H
#define ZDUTIL_EVENT_H

#include <cstdio>

#define ZD_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// Static members only. Traces and warnings return; every *_err operation
// writes "label: message\n" plus its category line on stderr and never returns.
class ZDEvent {
 public:
  static int verbose;      // trace level; traces are written at 1 and above
  static int pedantic;     // non-zero turns on the stricter data checks
  static FILE* tracefile;  // traces, and a copy of user/pedantic/data errors
  static FILE* warnfile;   // warnings

  // Written and flushed when tracefile is set and verbose >= 1; returns the
  // number of characters written (0 when nothing was written).
  static int trace(const char* format, ...) ZD_PRINTF(1, 2);
  // Written and flushed on warnfile; a null warnfile is an implementation error.
  static int warn(const char* format, ...) ZD_PRINTF(1, 2);

  // Allocation failures and inconsistencies between objects: exit(1).
  [[noreturn]] static void memory_or_implement_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Bad files, malformed blocks, unsupported settings: exit(1).
  [[noreturn]] static void user_input_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Violations found only with the pedantic flag: exit(1).
  [[noreturn]] static void pedantic_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Malformed values in data: exit(1).
  [[noreturn]] static void data_input_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Broken invariants of containers and lists: abort().
  [[noreturn]] static void abort_err(const char* label, const char* format, ...) ZD_PRINTF(2, 3);

  // Levels 0..4 are kept; others are clamped with a warning.
  static void set_verbose(int level);
  static void set_pedantic(int flag) { pedantic = flag; }
};

#endif
