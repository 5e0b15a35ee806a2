// Reporting channel of the model library: traces, warnings, and the one door
// through which every failure leaves the library, the exception ZDError.
#ifndef ZDUTIL_EVENT_H
#define ZDUTIL_EVENT_H

#include <cstdio>
#include <stdexcept>
#include <string>

#define ZD_PRINTF(fmt, args) __attribute__((format(printf, fmt, args)))

// A failure of the model library. Nothing in the library ends the process:
// the program that called it decides (the decoder prints report() and exits
// with exit_status(), or aborts for Category::abort).
class ZDError : public std::runtime_error {
 public:
  enum class Category { memory, user_input, pedantic, data_input, abort };

  ZDError(Category category, std::string label, std::string message);

  Category category() const { return category_; }
  // The operation that failed, conventionally "Class::method".
  const std::string& label() const { return label_; }
  // The formatted message, without the label.
  const std::string& message() const { return message_; }
  // what() is "label: message" without trailing newlines.

  // Writes the error as the decoder reports it: "label: message\n" and the
  // category's advice line on `err`; user, pedantic and data errors also
  // copy the bare message to `trace` (when not null) right after the label.
  void report(FILE* err, FILE* trace) const;

 private:
  Category category_;
  std::string label_;
  std::string message_;
};

// Static members only. The trace level and the streams are per thread: a
// thread that loads a model points them where its traces should go, without
// disturbing loads on other threads.
class ZDEvent {
 public:
  static thread_local int verbose;      // trace level; traces are written at 1 and above
  static thread_local int pedantic;     // non-zero turns on the stricter data checks
  static thread_local FILE* tracefile;  // traces; null: none
  static thread_local FILE* warnfile;   // warnings

  // Written and flushed when tracefile is set and verbose >= 1; returns the
  // number of characters written (0 when nothing was written).
  static int trace(const char* format, ...) ZD_PRINTF(1, 2);
  // Written and flushed on warnfile; a null warnfile is an implementation error.
  static int warn(const char* format, ...) ZD_PRINTF(1, 2);

  // Each of these throws ZDError of its category with the formatted message.
  // Allocation failures and inconsistencies between objects.
  [[noreturn]] static void memory_or_implement_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Bad files, malformed blocks, unsupported settings.
  [[noreturn]] static void user_input_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Violations found only with the pedantic flag.
  [[noreturn]] static void pedantic_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Malformed values in data.
  [[noreturn]] static void data_input_err(const char* label, const char* format, ...)
      ZD_PRINTF(2, 3);
  // Broken invariants of containers and lists, and undefined references
  // that the decoder treats as such: the decoder aborts on these.
  [[noreturn]] static void abort_err(const char* label, const char* format, ...) ZD_PRINTF(2, 3);

  // Levels 0..4 are kept; others are clamped with a warning.
  static void set_verbose(int level);
  static void set_pedantic(int flag) { pedantic = flag; }
};

#endif
