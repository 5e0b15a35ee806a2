// Support shared by the libFuzzer harnesses: scratch files built from the
// input, one guarded run per input (process-wide state reset, FuzzExit caught,
// streams left open by an ended load closed) and the section format that
// packs several files into one input.
#ifndef FUZZ_SUPPORT_H
#define FUZZ_SUPPORT_H

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace fuzz {

// Private directory of this process (made on first use, removed at exit);
// ends in '/'.
const std::string& scratch_dir();

// Writes `text` to scratch_dir() + name, gzip-compressed when `gz`, and
// returns the path. The file is removed when the current run() ends.
std::string put_file(const std::string& name, const std::string& text, bool gz = false);

// Runs one input: resets the library's process-wide state (warning flag,
// generated-name counters, trace streams), catches the FuzzExit of an error
// that would have ended the process and returns true when none occurred.
// An abort of the library other than the undefined-kernel report is a
// finding: it is reported and the process aborts. Streams opened during the
// run and still open afterwards are closed after an error; after a run
// without error they are a finding too (a leaked file handle).
bool run(const std::function<void()>& body);

// Splits an input into named files: each section starts with a line
// "#@ name" and holds the bytes up to the next such line (its newline
// excluded). Bytes before the first header go to `first_name`.
std::vector<std::pair<std::string, std::string>> split_sections(const uint8_t* data, size_t size,
                                                                const std::string& first_name);

// The input as a NUL-terminated text.
std::string as_text(const uint8_t* data, size_t size);

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H
