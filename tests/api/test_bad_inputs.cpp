// Runs the decoder on the corpus of malformed inputs in tests/data/bad (one
// folder per class of fault: model/, an optional dict.txt and input.txt,
// expected.rc, expected.stderr with lines that must each occur, where @CASE@
// and @MODEL@ stand for the case and model paths given, and an optional
// exact expected.stdout), then on faults too big to keep as files: deep
// nesting, 10 MB lines, and standard output that cannot be written.
#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"

namespace {

using zdtest::ReadFile;

struct Outcome {
  std::string out;
  std::string err;
  int status = -1;  // exit status, or 128 + signal as a shell reports it
};

bool exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

// Runs the decoder with `args`, standard input from the file `input`, and
// standard output to `out_path` (a temporary file when empty).
Outcome decode(const std::vector<std::string>& args, const std::string& input,
               std::string out_path = "") {
  std::string tmp = zdtest::MakeTempDir();
  std::string err_path = tmp + "err";
  if (out_path.empty()) out_path = tmp + "out";
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(input.c_str(), O_RDONLY);
    int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (in < 0 || out < 0 || err < 0) _exit(99);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    std::vector<char*> argv = {const_cast<char*>(DECODER_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(DECODER_PATH, argv.data());
    _exit(98);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Outcome r;
  r.out = out_path == "/dev/full" ? "" : ReadFile(out_path);
  r.err = ReadFile(err_path);
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) r.status = 128 + WTERMSIG(wstatus);
  return r;
}

void replace_all(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

const std::string kBad = std::string(TEST_DATA_DIR) + "/bad/";

TEST(BadInputCorpus, EveryCaseEndsWithItsStatusAndMessage) {
  std::vector<std::string> cases;
  DIR* dir = opendir(kBad.c_str());
  ASSERT_NE(dir, nullptr);
  while (dirent* e = readdir(dir))
    if (e->d_name[0] != '.' && exists(kBad + e->d_name + "/expected.rc"))
      cases.push_back(e->d_name);
  closedir(dir);
  std::sort(cases.begin(), cases.end());
  ASSERT_GE(cases.size(), 40u);

  std::string tmp = zdtest::MakeTempDir();
  zdtest::WriteFile(tmp + "input.txt", "a b c\n");
  for (const std::string& name : cases) {
    SCOPED_TRACE(name);
    std::string dir = kBad + name;
    std::string model = dir + "/model";
    std::string dict = exists(dir + "/dict.txt") || name.find("dict") != std::string::npos
                           ? dir + "/dict.txt"
                           : kBad + "dict.txt";
    std::string input = exists(dir + "/input.txt") ? dir + "/input.txt" : tmp + "input.txt";
    Outcome r = decode({"-m", model, "-d", dict}, input);

    EXPECT_EQ(r.status, std::stoi(ReadFile(dir + "/expected.rc")));
    std::istringstream lines(ReadFile(dir + "/expected.stderr"));
    std::string expected_err;
    std::getline(lines, expected_err, '\0');
    if (!expected_err.empty() && expected_err.back() == '\n') expected_err.pop_back();
    replace_all(expected_err, "@CASE@", dir);
    replace_all(expected_err, "@MODEL@", model);
    // Each line in turn, and the whole text when it spans several lines.
    std::istringstream each(expected_err);
    for (std::string line; std::getline(each, line);)
      EXPECT_NE(r.err.find(line), std::string::npos) << "missing: " << line << "\n" << r.err;
    EXPECT_NE(r.err.find(expected_err), std::string::npos) << r.err;
    if (exists(dir + "/expected.stdout")) {
      EXPECT_EQ(r.out, ReadFile(dir + "/expected.stdout"));
    }
    if (r.status != 0) {
      EXPECT_EQ(r.out, "");
    }
  }
}

// A valid one-class model (weight 2 on "a_1", bias -0.5) in a fresh folder.
std::string small_model() {
  return zdtest::OneClassModel("vector w { type = weight field = 0 0 = 2 }\n");
}

// sigmoid(2 - 0.5) and sigmoid(-0.5), as "%g" prints them.
const char kHit[] = "c0:0.817574 \n";
const char kMiss[] = "c0:0.377541 \n";

TEST(BadInputGenerated, DeepNestingAndLongLinesInTheModelAndDictionary) {
  std::string tmp = zdtest::MakeTempDir();
  zdtest::WriteFile(tmp + "input.txt", "a\n");

  // 200000 nested braces: read in constant stack, then refused as a block
  // that is never closed.
  std::string deep = small_model();
  zdtest::WriteFile(deep + "zanda.parm", "field f0 " + std::string(200000, '{'));
  Outcome r = decode({"-m", deep, "-d", kBad + "dict.txt"}, tmp + "input.txt");
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("was opened with { and is not closed with }"), std::string::npos);

  // A 10 MB comment line inside a block is skipped like a short one.
  std::string commented = small_model();
  std::string parm = ReadFile(commented + "zanda.parm");
  parm.insert(parm.find('{') + 1, "\n  # " + std::string(10 << 20, 'x') + "\n");
  zdtest::WriteFile(commented + "zanda.parm", parm);
  r = decode({"-m", commented, "-d", kBad + "dict.txt"}, tmp + "input.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kHit);

  // A 10 MB dictionary line: only its first 1022 characters are read and shown.
  zdtest::WriteFile(tmp + "long.dict", "0 a_1\n1 " + std::string(10 << 20, 'y') + "\n");
  r = decode({"-m", small_model(), "-d", tmp + "long.dict"}, tmp + "input.txt");
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("line too long at 1 in " + tmp + "long.dict file\n\t Offending line: 1 " +
                       std::string(1020, 'y') + "\n"),
            std::string::npos);
}

// The decoder reads lines of at most 999998 characters: a 10 MB line is
// answered once per piece, and every line, the last one without its newline
// too, gets exactly one output line.
TEST(BadInputGenerated, EveryLineIsAnsweredOnce) {
  std::string tmp = zdtest::MakeTempDir();
  std::string model = small_model();
  const size_t piece = 999998;
  std::string huge(10 << 20, 'z');
  zdtest::WriteFile(tmp + "input.txt", "a\n" + huge + "\n\na");
  Outcome r = decode({"-m", model, "-d", kBad + "dict.txt"}, tmp + "input.txt");
  EXPECT_EQ(r.status, 0) << r.err;
  size_t pieces = (huge.size() + 1 + piece - 1) / piece;  // the newline ends the last piece
  std::string expected = kHit;
  for (size_t k = 0; k < pieces; k++) expected += kMiss;
  expected += std::string(kMiss) + kHit;
  EXPECT_EQ(r.out, expected);

  // NUL bytes: a line ends, for the decoder, at its first NUL.
  zdtest::WriteFile(tmp + "nul.txt", std::string("a\0b\n\0a\n", 7));
  r = decode({"-m", model, "-d", kBad + "dict.txt"}, tmp + "nul.txt");
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, std::string(kHit) + kMiss);
}

// Results that cannot be written end with a message and status 1, never 0.
TEST(BadInputGenerated, UnwritableStandardOutputIsAnError) {
  std::string tmp = zdtest::MakeTempDir();
  zdtest::WriteFile(tmp + "one.txt", "a\n");
  std::string many;
  for (int k = 0; k < 20000; k++) many += "a b c\n";
  zdtest::WriteFile(tmp + "many.txt", many);
  for (const char* input : {"one.txt", "many.txt"}) {
    SCOPED_TRACE(input);
    Outcome r = decode({"-m", small_model(), "-d", kBad + "dict.txt"}, tmp + input, "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("MaxEntDecoder: error writing standard output: " +
                         std::string(strerror(ENOSPC)) + "\n"),
              std::string::npos)
        << r.err;
  }
}

}  // namespace
