// The reporting channel: trace levels and the exact text and status of every
// error category.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <string>

#include "../test_support.h"
#include "ZDutil_event.h"

namespace {

TEST(EventTest, TracesFromLevelOneOnly) {
  std::string text = zdtest::Captured(ZDEvent::tracefile, [] {
    EXPECT_EQ(ZDEvent::trace("%d shared data\n", 1), 14);
    ZDEvent::verbose = 0;
    EXPECT_EQ(ZDEvent::trace("hidden"), 0);
    ZDEvent::verbose = 1;
  });
  EXPECT_EQ(text, "1 shared data\n");
  FILE* saved = ZDEvent::tracefile;
  ZDEvent::tracefile = nullptr;
  EXPECT_EQ(ZDEvent::trace("hidden"), 0);
  ZDEvent::tracefile = saved;
}

TEST(EventTest, SetVerboseClampsWithWarnings) {
  std::string warnings = zdtest::Captured(ZDEvent::warnfile, [] {
    ZDEvent::set_verbose(7);
    EXPECT_EQ(ZDEvent::verbose, 4);
    ZDEvent::set_verbose(-1);
    EXPECT_EQ(ZDEvent::verbose, 0);
    ZDEvent::set_verbose(3);
    EXPECT_EQ(ZDEvent::verbose, 3);
  });
  ZDEvent::verbose = 1;
  EXPECT_EQ(warnings,
            "ZDEvent::set_verbose: value=7 out of range, setting to ZDTrace_3!\n"
            "ZDEvent::set_verbose: value=-1 out of range, setting to ZDTrace_0!\n");
}

// Label, message, a copy of the message on the trace stream for the user,
// pedantic and data categories (here the trace stream is standard error or
// nothing), then the category line.
TEST(EventDeathTest, CategoriesWriteLabelMessageAndCategoryLine) {
  const std::string memory = "Memory Error: Please send error message to [^ \n]+@[^ \n]+\n$";
  struct Case {
    FILE* trace;
    std::function<void()> raise;
    std::string stderr_re;
  } cases[] = {
      {nullptr, [] { ZDEvent::user_input_err("Lbl", "bad %d", 3); },
       zdtest::Exact(zdtest::UserError("Lbl", "bad 3"))},
      {stderr, [] { ZDEvent::user_input_err("Lbl", "bad %d", 3); },
       zdtest::Exact("Lbl: bad 3bad 3\nPlease verify first your input model and your data\n")},
      {nullptr, [] { ZDEvent::data_input_err("T::load", "bad token %s\n", "x"); },
       zdtest::Exact(zdtest::DataError("T::load", "bad token x\n"))},
      {nullptr, [] { ZDEvent::pedantic_err("P", "m"); },
       zdtest::Exact("P: m\nPedantic Error: Turn off pedantic flag if you do not want this error "
                     "to happen\n")},
      {stderr, [] { ZDEvent::memory_or_implement_err("REALLOC", "%d elems of %d\n", 5, 8); },
       "^REALLOC: 5 elems of 8\n\n" + memory},
      {stderr,
       [] {
         ZDEvent::warnfile = nullptr;
         ZDEvent::warn("x");
       },
       "^ZDEvent::warn: warnfile stream pointer is NULL!\n" + memory},
  };
  for (const Case& c : cases) {
    EXPECT_EXIT(
        {
          ZDEvent::tracefile = c.trace;
          c.raise();
        },
        testing::ExitedWithCode(1), c.stderr_re);
  }
  EXPECT_EXIT(ZDEvent::abort_err("Mvec::set_nitems", "Cannot expand borrowed data"),
              testing::KilledBySignal(SIGABRT),
              "^Mvec::set_nitems: Cannot expand borrowed data\n$");
}

}  // namespace
