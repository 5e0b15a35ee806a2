#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <string>

#include "ZDutil_event.h"

namespace {

// Restores the channel's statics after each test.
class EventTest : public ::testing::Test {
 protected:
  void TearDown() override {
    ZDEvent::verbose = 1;
    ZDEvent::tracefile = stdout;
    ZDEvent::warnfile = stderr;
  }
};

TEST_F(EventTest, TraceWritesOnlyFromLevelOne) {
  FILE* f = tmpfile();
  ZDEvent::tracefile = f;
  EXPECT_EQ(ZDEvent::trace("%d shared data\n", 1), 14);
  ZDEvent::verbose = 0;
  EXPECT_EQ(ZDEvent::trace("hidden"), 0);
  ZDEvent::tracefile = nullptr;
  ZDEvent::verbose = 3;
  EXPECT_EQ(ZDEvent::trace("hidden"), 0);
  rewind(f);
  char buf[64] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  EXPECT_EQ(std::string(buf, n), "1 shared data\n");
  fclose(f);
}

TEST_F(EventTest, TraceReachesStdoutAtDefaultLevel) {
  testing::internal::CaptureStdout();
  ZDEvent::trace("abc %s", "def");
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "abc def");
}

TEST_F(EventTest, SetVerboseClampsWithWarnings) {
  testing::internal::CaptureStderr();
  ZDEvent::set_verbose(7);
  EXPECT_EQ(ZDEvent::verbose, 4);
  ZDEvent::set_verbose(-1);
  EXPECT_EQ(ZDEvent::verbose, 0);
  ZDEvent::set_verbose(3);
  EXPECT_EQ(ZDEvent::verbose, 3);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "ZDEvent::set_verbose: value=7 out of range, setting to ZDTrace_3!\n"
            "ZDEvent::set_verbose: value=-1 out of range, setting to ZDTrace_0!\n");
}

TEST_F(EventTest, WarnWithoutStreamIsImplementationError) {
  EXPECT_EXIT(
      {
        ZDEvent::warnfile = nullptr;
        ZDEvent::warn("x");
      },
      testing::ExitedWithCode(1),
      "^ZDEvent::warn: warnfile stream pointer is NULL!\nMemory Error: Please send error "
      "message to [^ ]+@[^ ]+\n$");
}

// The error categories: label, message (twice when traces also go to stderr),
// newline, category line, ending.
TEST_F(EventTest, UserInputErrorCopiesMessageToTraceStream) {
  EXPECT_EXIT(ZDEvent::user_input_err("Lbl", "bad %d", 3), testing::ExitedWithCode(1),
              "^Lbl: bad 3\nPlease verify first your input model and your data\n$");
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = stderr;
        ZDEvent::user_input_err("Lbl", "bad %d", 3);
      },
      testing::ExitedWithCode(1),
      "^Lbl: bad 3bad 3\nPlease verify first your input model and your data\n$");
}

TEST_F(EventTest, MessageEndingInNewlineLeavesEmptyLine) {
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        ZDEvent::data_input_err("TableIdx::load", "bad token %s\n", "x");
      },
      testing::ExitedWithCode(1),
      "^TableIdx::load: bad token x\n\nData Error: Please check your data!\n$");
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        ZDEvent::pedantic_err("P", "m");
      },
      testing::ExitedWithCode(1),
      "^P: m\nPedantic Error: Turn off pedantic flag if you do not want this error to happen\n$");
}

TEST_F(EventTest, MemoryErrorDoesNotCopyToTrace) {
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = stderr;
        ZDEvent::memory_or_implement_err("REALLOC", "Cannot allocate %d elems of size %d\n", 5, 8);
      },
      testing::ExitedWithCode(1),
      "^REALLOC: Cannot allocate 5 elems of size 8\n\nMemory Error: Please send error message "
      "to [^ \n]+\n$");
}

TEST_F(EventTest, CopyToStdoutTraceStreamIsBareMessage) {
  // The copy on the trace stream has no label and no newline.
  FILE* f = tmpfile();
  pid_t pid = fork();
  if (pid == 0) {
    ZDEvent::tracefile = f;
    ZDEvent::data_input_err("L", "only %s", "this");
  }
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(WEXITSTATUS(status), 1);
  rewind(f);
  char buf[64] = {};
  size_t n = fread(buf, 1, sizeof buf - 1, f);
  EXPECT_EQ(std::string(buf, n), "only this");
  fclose(f);
}

TEST_F(EventTest, AbortErrorEndsBySignal) {
  EXPECT_EXIT(ZDEvent::abort_err("Mvec::set_nitems", "Cannot expand borrowed data"),
              testing::KilledBySignal(SIGABRT),
              "^Mvec::set_nitems: Cannot expand borrowed data\n$");
}

}  // namespace
