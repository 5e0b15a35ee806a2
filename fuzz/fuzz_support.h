// Support shared by the libFuzzer harnesses: scratch files built from the
// input, one checked run per input and the section format that packs several
// files into one input. Single-threaded, as libFuzzer calls a harness.
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

// Writes `text` to scratch_dir() + name (a name ending in '/' makes a
// folder), gzip-compressed when `gz`, and returns the path. The file is
// removed when the current run ends.
std::string put_file(const std::string& name, const std::string& text, bool gz = false);

// Runs `body` twice and returns whether it ended without error. The errors
// of the libraries and of <maxent/decoder.h> end a run as expected, except an
// abort other than the undefined-kernel report. That, a second run ending
// otherwise than the first, a file descriptor left open, or memory the
// second run took and lost, is a finding: reported, then the process aborts.
bool run(const std::function<void()>& body);

// Splits an input into named files: each section starts with a line
// "#@ name" and holds the bytes up to the next such line (its newline
// excluded). Bytes before the first header go to `first_name`.
std::vector<std::pair<std::string, std::string>> split_sections(const uint8_t* data, size_t size,
                                                                const std::string& first_name);

inline std::string as_text(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

}  // namespace fuzz

#endif  // FUZZ_SUPPORT_H
