// Helpers shared by the test programs: a temporary folder, whole-file reads
// and writes, case folders, the one way the tests run a program as a
// process, binary vector records, and capture of what a stream receives.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

namespace zdtest {

// A fresh folder under the test temp dir (path with a trailing slash),
// removed with everything below it when the object goes.
class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "zdtestXXXXXX";
    if (!mkdtemp(&pattern[0])) ADD_FAILURE() << "mkdtemp failed";
    path_ = pattern + "/";
  }
  ~TempDir() {
    nftw(
        path_.c_str(),
        [](const char* p, const struct stat*, int, struct FTW*) { return remove(p); }, 16,
        FTW_DEPTH | FTW_PHYS);
  }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  // The path of `name` inside the folder.
  std::string operator()(const std::string& name) const { return path_ + name; }

 private:
  std::string path_;
};

// The whole content of `path` (empty when it cannot be read).
inline std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Writes `content` to `path`, gzip-compressed when asked; returns `path`.
inline std::string WriteFile(const std::string& path, const std::string& content,
                             bool gzip = false) {
  if (gzip) {
    gzFile gz = gzopen(path.c_str(), "wb");
    gzwrite(gz, content.data(), static_cast<unsigned>(content.size()));
    gzclose(gz);
  } else {
    std::ofstream(path, std::ios::binary) << content;
  }
  return path;
}

// The names of the sub-folders of `dir` that hold `marker`, sorted.
inline std::vector<std::string> CaseFolders(const std::string& dir, const std::string& marker) {
  std::vector<std::string> names;
  if (DIR* d = opendir(dir.c_str())) {
    while (dirent* e = readdir(d))
      if (e->d_name[0] != '.' && access((dir + e->d_name + "/" + marker).c_str(), F_OK) == 0)
        names.push_back(e->d_name);
    closedir(d);
  }
  std::sort(names.begin(), names.end());
  return names;
}

struct Outcome {
  std::string out, err;
  int status = -1;  // exit status, or 128 + signal as a shell reports it
};

// Runs `argv` (argv[0] is the program path) in folder `cwd` (unchanged when
// empty), standard input from the file `input`, standard output to
// `out_path` (a temporary file when empty), without core dumps or leak checks.
inline Outcome Run(const std::vector<std::string>& argv, const std::string& input = "/dev/null",
                   const std::string& cwd = "", std::string out_path = "") {
  TempDir io;
  if (out_path.empty()) out_path = io("out");
  pid_t pid = fork();
  if (pid == 0) {
    if (!cwd.empty() && chdir(cwd.c_str()) != 0) _exit(97);
    int in = open(input.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(io("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(99);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(98);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  Outcome r;
  r.out = out_path == "/dev/full" ? "" : ReadFile(out_path);
  r.err = ReadFile(io("err"));
  if (WIFEXITED(ws)) r.status = WEXITSTATUS(ws);
  if (WIFSIGNALED(ws)) r.status = 128 + WTERMSIG(ws);
  return r;
}

// Little-endian binary vector records: 32-bit index, 32-bit float.
inline std::string Records(const std::vector<std::pair<int32_t, float>>& recs) {
  std::string out;
  for (const auto& rec : recs)
    for (uint32_t w : {static_cast<uint32_t>(rec.first), [&] {
           uint32_t bits;
           memcpy(&bits, &rec.second, 4);
           return bits;
         }()})
      for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((w >> shift) & 0xff);
  return out;
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
