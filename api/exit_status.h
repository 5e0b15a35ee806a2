// The one place where the command-line programs turn the libraries' failures
// into an end of the process: the message on standard error, then the status.
#ifndef API_EXIT_STATUS_H
#define API_EXIT_STATUS_H

#include <functional>

// Runs `program` and returns its status. A model error (ZDError) is reported
// as the model library words it, with status 1, or aborts the process for
// the abort category; a dictionary error prints its report with status 255;
// an allocation failure of the hash table prints "ERROR: ...", status 1.
// Traces of the model library are taken to be on standard error.
int ExitStatusOf(const std::function<int()>& program);

#endif  // API_EXIT_STATUS_H
