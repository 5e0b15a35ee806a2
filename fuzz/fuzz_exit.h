// Fuzz builds only (MAXENT_FUZZ): the library's fatal paths throw FuzzExit
// where the decoder ends the process, so that a harness goes on with its next
// input. Shipped builds never include this header.
#ifndef FUZZ_EXIT_H
#define FUZZ_EXIT_H

#include <string>

// status: what the process would have exited with (134 for an abort);
// label: the reporting operation, for telling expected aborts from findings.
struct FuzzExit {
  int status;
  std::string label;
};

[[noreturn]] inline void fuzz_exit(int status, const char* label) {
  throw FuzzExit{status, label ? label : ""};
}

#endif  // FUZZ_EXIT_H
