#include <gtest/gtest.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "ZDutil_sys.h"

// Helpers shared with test_parm.cpp (declared there).
namespace zdtest {

// Regex that matches exactly `text`: every special character is escaped.
std::string Exact(const std::string& text) {
  std::string re = "^";
  for (char c : text) {
    if (std::string(".[]{}()\\*+?^$|").find(c) != std::string::npos) re += '\\';
    re += c;
  }
  return re + "$";
}

// A fresh directory under the test temp dir.
std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "zdparmXXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) return "";
  return std::string(buf.data()) + "/";
}

void WriteFile(const std::string& path, const std::string& content) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite(content.data(), 1, content.size(), f), content.size());
  fclose(f);
}

// Standard error of a user-input or data-input error raised by `label`.
std::string UserError(const std::string& label, const std::string& message) {
  return label + ": " + message + "\nPlease verify first your input model and your data\n";
}
std::string DataError(const std::string& label, const std::string& message) {
  return label + ": " + message + "\nData Error: Please check your data!\n";
}

// Runs `fn` in a child process: it must exit with status 1 after writing
// exactly `err` on standard error.
void ExpectFatal(const std::function<void()>& fn, const std::string& err) {
  EXPECT_EXIT(fn(), ::testing::ExitedWithCode(1), Exact(err));
}

}  // namespace zdtest

namespace {

using zdtest::DataError;
using zdtest::ExpectFatal;
using zdtest::UserError;

void WriteGzip(const std::string& path, const std::string& content) {
  gzFile gz = gzopen(path.c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  ASSERT_EQ(gzwrite(gz, content.data(), static_cast<unsigned>(content.size())),
            static_cast<int>(content.size()));
  gzclose(gz);
}

std::vector<std::string> ReadLines(ZDIO& io) {
  std::vector<std::string> lines;
  string_t line;
  while (io.scanline(line)) lines.emplace_back(line.c_str(), line.length());
  EXPECT_EQ(line.length(), 0);
  return lines;
}

// Every block of `text` as token lists.
std::vector<std::vector<std::string>> Blocks(const std::string& text) {
  ZDIO io;
  io.open_string(text.c_str());
  Mvec<string_t> tokens;
  std::vector<std::vector<std::string>> blocks;
  while (ZDString::object2strings(io, tokens)) {
    blocks.emplace_back();
    for (const string_t& t : tokens) blocks.back().emplace_back(t.c_str(), t.length());
  }
  io.clean_close();
  return blocks;
}

using Tokens = std::vector<std::string>;

// ------------------------------------------------------------------ ZDIO

TEST(ZDIOTest, PlainAndGzipFilesReadTheSameLines) {
  std::string dir = zdtest::MakeTempDir();
  const std::string data = "1 5 9\n\n  17 abc\nlast without newline";
  zdtest::WriteFile(dir + "plain.txt", data);
  WriteGzip(dir + "packed.gz", data);
  const std::vector<std::string> expected = {"1 5 9\n", "\n", "  17 abc\n", "last without newline"};
  for (bool compressed : {false, true}) {
    ZDIO io;
    io.force_open((dir + (compressed ? "packed.gz" : "plain.txt")).c_str(), "r", compressed);
    EXPECT_EQ(compressed, io.gz != nullptr);
    EXPECT_EQ(io.path.c_str(), dir + (compressed ? "packed.gz" : "plain.txt"));
    EXPECT_EQ(ReadLines(io), expected);
    io.clean_close();
    EXPECT_STREQ(io.path.c_str(), "");
    EXPECT_EQ(io.stream, nullptr);
    EXPECT_EQ(io.gz, nullptr);
  }
  // A gzip file opened as plain is read as its raw bytes.
  ZDIO raw;
  raw.force_open((dir + "packed.gz").c_str(), "r", false);
  EXPECT_EQ(raw.read_char(), 0x1f);
  EXPECT_EQ(raw.read_char(), 0x8b);
  raw.clean_close();
}

TEST(ZDIOTest, LinesAroundThePieceLengthAreReturnedWhole) {
  const std::string exact(4096, 'x');
  const std::string longer = std::string(3 * 4096 + 17, 'y');
  ZDIO io;
  io.open_string((exact + "\n" + longer + "\n" + exact).c_str());
  EXPECT_EQ(ReadLines(io), (std::vector<std::string>{exact + "\n", longer + "\n", exact}));
  io.clean_close();

  std::string dir = zdtest::MakeTempDir();
  WriteGzip(dir + "l.gz", exact + "\nz\n");
  ZDIO gz;
  gz.force_open((dir + "l.gz").c_str(), "r", true);
  EXPECT_EQ(ReadLines(gz), (std::vector<std::string>{exact + "\n", "z\n"}));
  gz.clean_close();
}

TEST(ZDIOTest, EmptySourcesHaveNoLine) {
  ZDIO io;
  io.open_string("");
  string_t line;
  line.init("stale");
  EXPECT_FALSE(io.scanline(line));
  EXPECT_STREQ(line.c_str(), "");
  EXPECT_EQ(io.read_char(), -1);
  io.clean_close();
  EXPECT_EQ(io.text, nullptr);

  ZDIO null_text;
  null_text.open_string(nullptr);
  EXPECT_FALSE(null_text.scanline(line));
  null_text.clean_close();
}

TEST(ZDIOTest, StdinStandsForStandardInputWhenReading) {
  ZDIO io;
  ::testing::internal::CaptureStdout();
  io.force_open("STDIN", "r", false);
  EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Use stdin for file\n");
  EXPECT_EQ(io.stream, stdin);
  io.stream = nullptr;  // keep the test's stdin open

  // For writing, STDIN is an ordinary file name.
  std::string dir = zdtest::MakeTempDir();
  char old[4096];
  ASSERT_NE(getcwd(old, sizeof old), nullptr);
  ASSERT_EQ(chdir(dir.c_str()), 0);
  ZDIO out;
  out.force_open("STDIN", "w", false);
  EXPECT_NE(out.stream, stdout);
  EXPECT_NE(out.stream, stdin);
  out.clean_close();
  EXPECT_EQ(access("STDIN", F_OK), 0);
  ASSERT_EQ(chdir(old), 0);
}

TEST(ZDIODeathTest, OpenAndReadFailuresEndTheProcess) {
  std::string missing = zdtest::MakeTempDir() + "missing.parm";
  ZDIO io;
  ExpectFatal([&] { io.force_open(missing.c_str(), "r", false); },
              UserError("ZDIO::force_open", "Cannot open " + missing + " for [r]\n"));
  ExpectFatal([&] { io.force_open(missing.c_str(), "rb", true); },
              UserError("ZDIO::force_open", "Cannot open " + missing + " for [rb]\n"));
  const std::string unopened = UserError("ZDIO::fgets", "trying to read unopened file\n");
  string_t line;
  ExpectFatal([&] { io.scanline(line); }, unopened);
  Mvec<string_t> tokens;
  ExpectFatal([&] { ZDString::object2strings(io, tokens); }, unopened);
}

TEST(ZDIODeathTest, LineFillingTheLastPieceIsTooLong) {
  // 24414 full pieces without a newline: the limit is reached exactly.
  std::string dir = zdtest::MakeTempDir();
  const size_t length = 24414u * 4096u;
  gzFile gz = gzopen((dir + "long.gz").c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  const std::string chunk(1 << 20, 'a');
  for (size_t done = 0; done < length; done += chunk.size()) {
    size_t n = std::min(chunk.size(), length - done);
    ASSERT_EQ(gzwrite(gz, chunk.data(), static_cast<unsigned>(n)), static_cast<int>(n));
  }
  gzclose(gz);
  ExpectFatal(
      [&] {
        ZDIO io;
        io.force_open((dir + "long.gz").c_str(), "r", true);
        string_t line;
        io.scanline(line);
      },
      UserError("ZDString::line2strings",
                "Line is longer than MAX_INPUT_LINE_LENGTH=100000000\n If this is not a problem in "
                "your input file, you should increase this value\n"));
}

// --------------------------------------------------------------- numbers

TEST(ZDStringTest, IntegersFollowTheCBaseRules) {
  EXPECT_EQ(ZDString::atol("0x10"), 16);
  EXPECT_EQ(ZDString::atol("010"), 8);
  EXPECT_EQ(ZDString::atol("  -12abc"), -12);
  EXPECT_EQ(ZDString::atol("+7"), 7);
  int v = 99;
  EXPECT_TRUE(ZDString::atol_check("0X1f:0.5", v));
  EXPECT_EQ(v, 31);
  EXPECT_FALSE(ZDString::atol_check("abc", v));
  EXPECT_FALSE(ZDString::atol_check("", v));
}

TEST(ZDStringTest, DoublesIgnoreTrailingText) {
  EXPECT_EQ(ZDString::atof("2.5e3"), 2500.0);
  EXPECT_EQ(ZDString::atof("-0.25xyz"), -0.25);
  EXPECT_EQ(ZDString::atof(" 1e37"), 1e37);
}

TEST(ZDStringDeathTest, NonNumbersAreDataErrors) {
  ExpectFatal([] { ZDString::atol("abc"); },
              DataError("ZDString::atol", "abc is not an integer number\n"));
  ExpectFatal([] { ZDString::atol(""); },
              DataError("ZDString::atol", " is not an integer number\n"));
  ExpectFatal([] { ZDString::atof("x1"); },
              DataError("ZDString::atof", "x1 is not an double number\n"));
}

TEST(ZDStringTest, AtosRemovesOnePairOfQuotes) {
  string_t s;
  ZDString::atos("\"w 1.bin\"", s);
  EXPECT_STREQ(s.c_str(), "w 1.bin");
  ZDString::atos("\"\"", s);
  EXPECT_STREQ(s.c_str(), "");
  EXPECT_EQ(s.length(), 0);
  ZDString::atos("\"\"\"", s);
  EXPECT_STREQ(s.c_str(), "\"");
  ZDString::atos("\"", s);  // a single character is never a quoted text
  EXPECT_STREQ(s.c_str(), "\"");
  ZDString::atos("plain", s);
  EXPECT_STREQ(s.c_str(), "plain");
  ZDString::atos("a\"b", s);
  EXPECT_STREQ(s.c_str(), "a\"b");
}

TEST(ZDStringDeathTest, OneSidedQuotesAreDataErrors) {
  string_t s;
  ExpectFatal([&] { ZDString::atos("\"abc", s); },
              DataError("ZDString::atos", "[\"abc] only uses quotes on one side"));
  ExpectFatal([&] { ZDString::atos("abc\"", s); },
              DataError("ZDString::atos", "[abc\"] only uses quotes on one side"));
}

TEST(ZDStringTest, StprintfFormatsUpToTheWorkBuffer) {
  string_t s;
  ZDString::stprintf(s, "%s%d%s", "data", 3, ".gz");
  EXPECT_STREQ(s.c_str(), "data3.gz");
  const std::string big(32767, 'q');
  ZDString::stprintf(s, "%s", big.c_str());
  EXPECT_EQ(s.length(), 32767);
}

TEST(ZDStringDeathTest, StprintfRejectsResultsOfTheBufferSize) {
  const std::string big(32768, 'q');
  string_t s;
  ExpectFatal(
      [&] { ZDString::stprintf(s, "%s", big.c_str()); },
      DataError("ZDString::stprintf", "cannot create string with format %s (len is 32768)\n"));
}

// ------------------------------------------------------------- tokenizer

TEST(TokenizerTest, ExampleBlockGivesSeventeenTokens) {
  auto blocks = Blocks(
      "# model\n"
      "classifier clf0 {\n"
      "kernels = { ker0 , ker1 }  bias=-0.25 # shift\n"
      "binfile = \"w 1.bin\" }\n");
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0], (Tokens{"classifier", "clf0", "{", "kernels", "=", "{", "ker0", ",", "ker1",
                               "}", "bias", "=", "-0.25", "binfile", "=", "w 1.bin", "}"}));
}

TEST(TokenizerTest, PunctuationIsATokenWithOrWithoutBlanks) {
  EXPECT_EQ(Blocks("t n{a=b}"), Blocks("t n {\n a = b\n}\n"));
  EXPECT_EQ(Blocks("t n{k={x,y}}")[0],
            (Tokens{"t", "n", "{", "k", "=", "{", "x", ",", "y", "}", "}"}));
  // Vertical tab is not a delimiter; the other blanks are.
  EXPECT_EQ(Blocks("t n {a\vb\tc\rd\fe\n}")[0],
            (Tokens{"t", "n", "{", "a\vb", "c", "d", "e", "}"}));
}

TEST(TokenizerTest, NulBytesSeparateTokensOutsideQuotes) {
  std::string dir = zdtest::MakeTempDir();
  zdtest::WriteFile(dir + "nul.parm", std::string("t n { a\0b = \"x\0y\" }", 19));
  ZDIO io;
  io.force_open((dir + "nul.parm").c_str(), "r", false);
  Mvec<string_t> tokens;
  ASSERT_TRUE(ZDString::object2strings(io, tokens));
  io.clean_close();
  ASSERT_EQ(tokens.size(), 8);
  EXPECT_STREQ(tokens[3].c_str(), "a");
  EXPECT_STREQ(tokens[4].c_str(), "b");
  EXPECT_EQ(std::string(tokens[6].c_str(), tokens[6].length()), std::string("x\0y", 3));
}

TEST(TokenizerTest, QuotesAndComments) {
  EXPECT_EQ(Blocks("t n { k = \"\" }")[0], (Tokens{"t", "n", "{", "k", "=", "", "}"}));
  EXPECT_EQ(Blocks("t n { k = \"a#b {x}, =\ny\" }")[0],
            (Tokens{"t", "n", "{", "k", "=", "a#b {x}, =\ny", "}"}));
  // Outside quotes a number sign cuts even a word, up to the end of the line.
  EXPECT_EQ(Blocks("t n { k = abc#x }\n}")[0], (Tokens{"t", "n", "{", "k", "=", "abc", "}"}));
  // A quote glued to a word starts a new token.
  EXPECT_EQ(Blocks("t n { ab\"c d\"ef }")[0], (Tokens{"t", "n", "{", "ab", "c d", "ef", "}"}));
}

TEST(TokenizerTest, HeaderKeepsQuotesEqualsAndCommas) {
  EXPECT_EQ(Blocks("t\"x\" n=1,2 {}")[0], (Tokens{"t\"x\"", "n=1,2", "{", "}"}));
  EXPECT_EQ(Blocks("a # c {\n b {}")[0], (Tokens{"a", "b", "{", "}"}));
}

TEST(TokenizerTest, BlocksFollowEachOtherAndTrailingTextIsSkipped) {
  auto blocks = Blocks("a x {} b y { k = v }c z {}\n  trailing words # and } a comment\n");
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[1], (Tokens{"b", "y", "{", "k", "=", "v", "}"}));
  EXPECT_EQ(blocks[2], (Tokens{"c", "z", "{", "}"}));
  EXPECT_TRUE(Blocks("# only comments\n\n   \t# more").empty());
  EXPECT_TRUE(Blocks("").empty());
  EXPECT_TRUE(Blocks("a b # {").empty());
}

TEST(TokenizerTest, NestedBracesOfAnyDepth) {
  EXPECT_EQ(Blocks("t n { k = {{x}} }")[0],
            (Tokens{"t", "n", "{", "k", "=", "{", "{", "x", "}", "}", "}"}));
  const int depth = 1000000;
  auto blocks = Blocks("t n " + std::string(depth, '{') + std::string(depth, '}') + " t2 m {}");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].size(), 2u + 2u * depth);
  EXPECT_EQ(blocks[0].back(), "}");
  EXPECT_EQ(blocks[1], (Tokens{"t2", "m", "{", "}"}));
}

TEST(TokenizerTest, LongTokensAndLongBlocks) {
  const std::string word(300000, 'w');
  auto blocks = Blocks("t n { k = " + word + " q = \"" + word + " " + word + "\" }");
  ASSERT_EQ(blocks.size(), 1u);
  EXPECT_EQ(blocks[0][5], word);
  EXPECT_EQ(blocks[0][8], word + " " + word);

  std::string body;
  for (int i = 0; i < 100000; i++) body += "k" + std::to_string(i) + "=" + std::to_string(i) + " ";
  blocks = Blocks("t n {" + body + "}");
  ASSERT_EQ(blocks[0].size(), 4u + 3u * 100000u);
  EXPECT_EQ(blocks[0][3 + 3 * 99999], "k99999");
}

TEST(TokenizerTest, ReusedTokenListHoldsOnlyTheNewBlock) {
  ZDIO io;
  io.open_string("a b { k = long_value_here } c d { }");
  Mvec<string_t> tokens;
  ASSERT_TRUE(ZDString::object2strings(io, tokens));
  ASSERT_TRUE(ZDString::object2strings(io, tokens));
  ASSERT_EQ(tokens.size(), 4);
  EXPECT_STREQ(tokens[0].c_str(), "c");
  EXPECT_STREQ(tokens[3].c_str(), "}");
  EXPECT_FALSE(ZDString::object2strings(io, tokens));
  EXPECT_EQ(tokens.size(), 0);
  io.clean_close();
}

TEST(TokenizerDeathTest, UnclosedBlocksNameThePendingText) {
  auto unclosed = [](const std::string& pending) {
    return UserError("extract_block",
                     "Block [" + pending + "] was opened with { and is not closed with }");
  };
  auto tokenize = [](const std::string& text) { return [text] { Blocks(text); }; };
  ExpectFatal(tokenize("t n { k = abc"), unclosed(" abc"));
  ExpectFatal(tokenize("t n { k = v }\nu m { k = {x}\n"), unclosed("\n"));
  ExpectFatal(tokenize("t n { k = \"ab c"), unclosed("ab c"));
  ExpectFatal(tokenize("t n { k = v # no end"), unclosed(" v "));
  ExpectFatal(tokenize("t n " + std::string(3000000, '{')), unclosed(""));
}

}  // namespace
