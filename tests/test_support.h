// Helpers shared by the test programs: temporary files, exact-message
// regexes for death tests, and capture of what a stream receives.
#pragma once

#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zdtest {

// POSIX extended regex matching exactly `text`.
inline std::string Exact(const std::string& text) {
  std::string re = "^";
  for (char c : text) {
    if (strchr(".[]{}()\\*+?^$|", c)) re += '\\';
    re += c;
  }
  return re + "$";
}

// A fresh directory under the test temp dir, with a trailing slash.
inline std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "zdtestXXXXXX";
  if (!mkdtemp(&pattern[0])) ADD_FAILURE() << "mkdtemp failed";
  return pattern + "/";
}

// The whole content of `path` (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Removes `dir` with everything below it.
inline void RemoveTree(const std::string& dir) {
  nftw(
      dir.c_str(),
      [](const char* path, const struct stat*, int, struct FTW*) { return remove(path); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

// Writes `content` to `path`, gzip-compressed when asked.
inline void WriteFile(const std::string& path, const std::string& content, bool gzip = false) {
  if (gzip) {
    gzFile gz = gzopen(path.c_str(), "wb");
    ASSERT_NE(gz, nullptr) << path;
    gzwrite(gz, content.data(), static_cast<unsigned>(content.size()));
    gzclose(gz);
    return;
  }
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr) << path;
  fwrite(content.data(), 1, content.size(), f);
  fclose(f);
}

// A fresh folder with a one-class linear model: classifier c0 over field 0,
// bias -0.5, its weight vectors in w.txt as given.
inline std::string OneClassModel(const std::string& weight_vectors) {
  std::string dir = MakeTempDir();
  WriteFile(dir + "zanda.parm",
            "field f0 { zlib = false }\n"
            "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"
            "classifier c0 { kernels = { k0 } vecfile = { w.txt } weights = { 1 } "
            "bias = -0.5 }\n");
  WriteFile(dir + "w.txt", weight_vectors);
  return dir;
}

// Little-endian binary vector records: 32-bit index, 32-bit float.
inline std::string Records(const std::vector<std::pair<int32_t, float>>& recs) {
  std::string out;
  for (const auto& rec : recs) {
    uint32_t words[2];
    memcpy(&words[0], &rec.first, 4);
    memcpy(&words[1], &rec.second, 4);
    for (uint32_t w : words)
      for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((w >> shift) & 0xff);
  }
  return out;
}

// Standard error of the model library's fatal categories raised by `label`
// while traces do not go to standard error.
inline std::string UserError(const std::string& label, const std::string& message) {
  return label + ": " + message + "\nPlease verify first your input model and your data\n";
}
inline std::string DataError(const std::string& label, const std::string& message) {
  return label + ": " + message + "\nData Error: Please check your data!\n";
}

// Regex of a memory or implementation error raised by `label`; the support
// address of its category line is left open.
inline std::string MemoryError(const std::string& label, const std::string& message) {
  std::string re = Exact(label + ": " + message + "\nMemory Error: Please send error message to ");
  re.pop_back();  // the end anchor
  return re + "[^\n]+\n$";
}

// What `body` writes on `stream` (for instance ZDEvent::tracefile), which is
// pointed at a temporary file meanwhile.
template <class Body>
std::string Captured(FILE*& stream, Body body) {
  FILE* saved = stream;
  FILE* tmp = tmpfile();
  stream = tmp;
  body();
  stream = saved;
  fflush(tmp);
  rewind(tmp);
  std::string text;
  for (int c; (c = getc(tmp)) != EOF;) text += static_cast<char>(c);
  fclose(tmp);
  return text;
}

}  // namespace zdtest
