// The decoder on faulty inputs: the corpus in tests/data/bad (one folder per
// fault: model/, an optional dict.txt and input.txt, expected.rc,
// expected.stderr with lines that must each occur, where @CASE@ and @MODEL@
// stand for the case and model paths given, and an optional exact
// expected.stdout), then faults too big to keep as files and bad command lines.
#include <gtest/gtest.h>

#include <cstring>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"

namespace {

using zdtest::ReadFile;
using zdtest::WriteFile;

const std::string kBad = std::string(TEST_DATA_DIR) + "/bad/";
const std::string kDict = kBad + "dict.txt";

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  for (size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

bool Contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

TEST(BadInputCorpus, EveryCaseEndsWithItsStatusAndMessage) {
  const std::vector<std::string> cases = zdtest::CaseFolders(kBad, "expected.rc");
  ASSERT_GE(cases.size(), 40u);
  zdtest::TempDir tmp;
  const std::string input = WriteFile(tmp("input.txt"), "a b c\n");
  for (const std::string& name : cases) {
    SCOPED_TRACE(name);
    const std::string dir = kBad + name, model = dir + "/model";
    const bool own_dict = access((dir + "/dict.txt").c_str(), F_OK) == 0 || Contains(name, "dict");
    const bool own_input = access((dir + "/input.txt").c_str(), F_OK) == 0;
    zdtest::Outcome r = zdtest::Run({DECODER_PATH, "-m", model, "-d", own_dict ? dir + "/dict.txt" : kDict},
                            own_input ? dir + "/input.txt" : input);
    EXPECT_EQ(r.status, std::stoi(ReadFile(dir + "/expected.rc")));
    std::string expected = ReadFile(dir + "/expected.stderr");
    if (!expected.empty() && expected.back() == '\n') expected.pop_back();
    ReplaceAll(expected, "@CASE@", dir);
    ReplaceAll(expected, "@MODEL@", model);
    std::istringstream lines(expected);
    for (std::string line; std::getline(lines, line);)
      EXPECT_TRUE(Contains(r.err, line)) << "missing: " << line << "\n" << r.err;
    EXPECT_TRUE(Contains(r.err, expected)) << r.err;
    if (access((dir + "/expected.stdout").c_str(), F_OK) == 0) {
      EXPECT_EQ(r.out, ReadFile(dir + "/expected.stdout"));
    } else if (r.status != 0) {
      EXPECT_EQ(r.out, "");
    }
  }
}

// A one-class model: weight 2 on "a_1", bias -0.5; sigmoid(1.5) and
// sigmoid(-0.5) as "%g" prints them.
const char kHit[] = "c0:0.817574 \n";
const char kMiss[] = "c0:0.377541 \n";
std::string OneClassModel(const zdtest::TempDir& tmp, const std::string& name,
                          const std::string& parm_tail = "") {
  const std::string dir = tmp(name);
  mkdir(dir.c_str(), 0755);
  WriteFile(dir + "/zanda.parm",
            "field f0 { zlib = false }\n" + parm_tail +
                "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"
                "classifier c0 { kernels = { k0 } vecfile = { w.txt } weights = { 1 } "
                "bias = -0.5 }\n");
  WriteFile(dir + "/w.txt", "vector w { type = weight field = 0 0 = 2 }\n");
  return dir;
}

TEST(BadInputGenerated, DeepNestingAndLongLinesInModelDictionaryAndInput) {
  zdtest::TempDir tmp;
  const std::string one = WriteFile(tmp("one.txt"), "a\n");
  // 200000 nested braces are read in constant stack, then refused as a block
  // that is never closed.
  const std::string deep = OneClassModel(tmp, "deep");
  WriteFile(deep + "/zanda.parm", "field f0 " + std::string(200000, '{'));
  zdtest::Outcome r = zdtest::Run({DECODER_PATH, "-m", deep, "-d", kDict}, one);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "was opened with { and is not closed with }"));
  // A 10 MB comment line inside the model is skipped like a short one.
  const std::string commented = OneClassModel(tmp, "comment", "# " + std::string(10 << 20, 'x') + "\n");
  r = zdtest::Run({DECODER_PATH, "-m", commented, "-d", kDict}, one);
  EXPECT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(r.out, kHit);
  // A 10 MB dictionary line: only its first 1022 characters are read and shown.
  const std::string dict = WriteFile(tmp("long.dict"), "0 a_1\n1 " + std::string(10 << 20, 'y') + "\n");
  r = zdtest::Run({DECODER_PATH, "-m", OneClassModel(tmp, "m"), "-d", dict}, one);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(Contains(r.err, "line too long at 1 in " + dict + " file\n\t Offending line: 1 " +
                                  std::string(1020, 'y') + "\n"));
  // Input lines are read in pieces of at most 999998 characters, each answered;
  // a line ends at its first NUL; a last line without newline is answered.
  const std::string huge(10 << 20, 'z');
  r = zdtest::Run({DECODER_PATH, "-m", tmp("m"), "-d", kDict},
          WriteFile(tmp("in.txt"), "a\n" + huge + "\n" + std::string("a\0b\n\0a\na", 9)));
  EXPECT_EQ(r.status, 0) << r.err;
  std::string expected = kHit;
  for (size_t k = 0; k < (huge.size() + 999998) / 999998; k++) expected += kMiss;
  EXPECT_EQ(r.out, expected + kHit + kMiss + kHit);
}

// Results that cannot be written end with a message and status 1.
TEST(BadInputGenerated, UnwritableStandardOutputIsAnError) {
  zdtest::TempDir tmp;
  std::string many;
  for (int k = 0; k < 20000; k++) many += "a b c\n";
  for (const std::string& input : {std::string("a\n"), many}) {
    zdtest::Outcome r = zdtest::Run({DECODER_PATH, "-m", OneClassModel(tmp, "m"), "-d", kDict},
                            WriteFile(tmp("in.txt"), input), "", "/dev/full");
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Contains(r.err, "MaxEntDecoder: error writing standard output: " +
                                    std::string(strerror(ENOSPC)) + "\n"))
        << r.err;
  }
}

// Bad command lines print the usage text with status 1. The model loads
// before the dictionary: a run with both faults reports the model's.
TEST(BadInputGenerated, CommandLinesAndTheOrderOfLoading) {
  zdtest::TempDir tmp;
  const std::string m = OneClassModel(tmp, "m"), d = kDict, decoder = DECODER_PATH;
  const std::string usage = "Usage: " + decoder +
                            " [-opts] \nOptions:\n -n nbest output \n -m modelfile ascii model "
                            "file \n -d feature dictionary file \n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, usage},
      {{"-m", m}, usage},
      {{"-d", d, "-v"}, usage},
      {{"-m", m, "-d", d, "x", "y"}, usage},
      {{"-m", m, "-d", d, "-?"}, usage},
      {{"-m", m, "-d", d, "-x"}, decoder + ": invalid option -- 'x'\n" + usage},
      {{"-d", d, "-m"}, decoder + ": option requires an argument -- 'm'\n" + usage},
  };
  for (auto c : cases) {
    c.first.insert(c.first.begin(), decoder);
    zdtest::Outcome r = zdtest::Run(c.first, "/dev/null");
    EXPECT_EQ(r.err, c.second) << c.first.size();
    EXPECT_EQ(r.status, 1);
  }
  const std::string input = WriteFile(tmp("in.txt"), "a\n");
  zdtest::Outcome r = zdtest::Run({decoder, "-m", m, "leftover", "-d", d}, input);
  EXPECT_EQ(r.out, kHit);  // one leftover argument is ignored
  const std::string absent = tmp("absent.txt");
  r = zdtest::Run({decoder, "-m", m, "-d", absent}, input);
  EXPECT_EQ(r.status, 255);
  EXPECT_TRUE(Contains(r.err, "********** LOADED 1 models\n\ncan't open " + absent +
                                  " -- lexiconread\n")) << r.err;
  WriteFile(m + "/zanda.parm", "field f0 { }\nclassifier t { trivial = true bias = 1 }\n");
  r = zdtest::Run({decoder, "-m", m, "-d", absent}, input);
  EXPECT_EQ(r.status, 1);
  EXPECT_TRUE(Contains(r.err, "MultiCategData::load_mdl_parms: Parameter file contains no kernel"));
  EXPECT_FALSE(Contains(r.err, "lexiconread"));
}

}  // namespace
