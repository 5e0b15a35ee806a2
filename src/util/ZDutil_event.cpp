#include "ZDutil_event.h"

#include <cstdarg>
#include <cstdlib>

#ifdef MAXENT_FUZZ
#include "fuzz_exit.h"
#endif

int ZDEvent::verbose = 1;
int ZDEvent::pedantic = 0;
FILE* ZDEvent::tracefile = stdout;
FILE* ZDEvent::warnfile = stderr;

namespace {

// Support contact printed on memory and implementation errors.
const char kSupportContact[] = "maxent-decoder-support@lists.example.org";

enum class Category { memory, user_input, pedantic, data_input, abort };

[[noreturn]] void report(Category cat, const char* label, const char* format, va_list args) {
  fprintf(stderr, "%s: ", label);
  bool copy_to_trace = cat == Category::user_input || cat == Category::pedantic ||
                       cat == Category::data_input;
  if (copy_to_trace && ZDEvent::tracefile) {
    va_list copy;
    va_copy(copy, args);
    vfprintf(ZDEvent::tracefile, format, copy);
    va_end(copy);
  }
  vfprintf(stderr, format, args);
  fputs("\n", stderr);
  switch (cat) {
    case Category::memory:
      fprintf(stderr, "Memory Error: Please send error message to %s\n", kSupportContact);
      break;
    case Category::user_input:
      fputs("Please verify first your input model and your data\n", stderr);
      break;
    case Category::pedantic:
      fputs("Pedantic Error: Turn off pedantic flag if you do not want this error to happen\n",
            stderr);
      break;
    case Category::data_input:
      fputs("Data Error: Please check your data!\n", stderr);
      break;
    case Category::abort:
#ifdef MAXENT_FUZZ
      fuzz_exit(134, label);
#else
      abort();
#endif
  }
#ifdef MAXENT_FUZZ
  fuzz_exit(1, label);
#else
  exit(1);
#endif
}

}  // namespace

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
    report(category, label, format, args);                         \
  }

ZD_DEFINE_ERROR(memory_or_implement_err, Category::memory)
ZD_DEFINE_ERROR(user_input_err, Category::user_input)
ZD_DEFINE_ERROR(pedantic_err, Category::pedantic)
ZD_DEFINE_ERROR(data_input_err, Category::data_input)
ZD_DEFINE_ERROR(abort_err, Category::abort)

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
