#include "ZDutil_event.h"

#include <cstdarg>

thread_local int ZDEvent::verbose = 1;
thread_local int ZDEvent::pedantic = 0;
thread_local FILE* ZDEvent::tracefile = stdout;
thread_local FILE* ZDEvent::warnfile = stderr;

namespace {

// Support contact printed on memory and implementation errors.
const char kSupportContact[] = "maxent-decoder-support@lists.example.org";

std::string without_trailing_newlines(std::string text) {
  while (!text.empty() && text.back() == '\n') text.pop_back();
  return text;
}

std::string vformat(const char* format, va_list args) {
  va_list copy;
  va_copy(copy, args);
  int n = vsnprintf(nullptr, 0, format, copy);
  va_end(copy);
  std::string text(n > 0 ? static_cast<size_t>(n) : 0, '\0');
  if (n > 0) vsnprintf(&text[0], text.size() + 1, format, args);
  return text;
}

// The one door: every failure of the library leaves through here.
[[noreturn]] void fail(ZDError::Category category, const char* label, std::string message) {
  throw ZDError(category, label ? label : "", std::move(message));
}

}  // namespace

ZDError::ZDError(Category category, std::string label, std::string message)
    : std::runtime_error(without_trailing_newlines(label + ": " + message)),
      category_(category),
      label_(std::move(label)),
      message_(std::move(message)) {}

void ZDError::report(FILE* err, FILE* trace) const {
  fprintf(err, "%s: ", label_.c_str());
  bool copy_to_trace = category_ == Category::user_input || category_ == Category::pedantic ||
                       category_ == Category::data_input;
  if (copy_to_trace && trace) fputs(message_.c_str(), trace);
  fprintf(err, "%s\n", message_.c_str());
  switch (category_) {
    case Category::memory:
      fprintf(err, "Memory Error: Please send error message to %s\n", kSupportContact);
      break;
    case Category::user_input:
      fputs("Please verify first your input model and your data\n", err);
      break;
    case Category::pedantic:
      fputs("Pedantic Error: Turn off pedantic flag if you do not want this error to happen\n",
            err);
      break;
    case Category::data_input:
      fputs("Data Error: Please check your data!\n", err);
      break;
    case Category::abort:
      break;
  }
  fflush(err);
}

int ZDEvent::trace(const char* format, ...) {
  if (!tracefile || verbose < 1) return 0;
  va_list args;
  va_start(args, format);
  int n = vfprintf(tracefile, format, args);
  va_end(args);
  fflush(tracefile);
  return n;
}

int ZDEvent::warn(const char* format, ...) {
  if (!warnfile) memory_or_implement_err("ZDEvent::warn", "warnfile stream pointer is NULL!");
  va_list args;
  va_start(args, format);
  int n = vfprintf(warnfile, format, args);
  va_end(args);
  fflush(warnfile);
  return n;
}

#define ZD_DEFINE_ERROR(name, category)                             \
  void ZDEvent::name(const char* label, const char* format, ...) { \
    va_list args;                                                  \
    va_start(args, format);                                        \
    std::string message = vformat(format, args);                   \
    va_end(args);                                                  \
    fail(category, label, std::move(message));                     \
  }

ZD_DEFINE_ERROR(memory_or_implement_err, ZDError::Category::memory)
ZD_DEFINE_ERROR(user_input_err, ZDError::Category::user_input)
ZD_DEFINE_ERROR(pedantic_err, ZDError::Category::pedantic)
ZD_DEFINE_ERROR(data_input_err, ZDError::Category::data_input)
ZD_DEFINE_ERROR(abort_err, ZDError::Category::abort)

void ZDEvent::set_verbose(int level) {
  if (level < 0) {
    warn("ZDEvent::set_verbose: value=%d out of range, setting to ZDTrace_0!\n", level);
    verbose = 0;
  } else if (level > 4) {
    warn("ZDEvent::set_verbose: value=%d out of range, setting to ZDTrace_3!\n", level);
    verbose = 4;
  } else {
    verbose = level;
  }
}
