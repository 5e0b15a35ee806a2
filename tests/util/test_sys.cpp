// File wrapper, value conversions and the block tokenizer of parameter files.
#include <gtest/gtest.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDutil_sys.h"

namespace {

using zdtest::DataError;
using zdtest::UserError;
using Tokens = std::vector<std::string>;

std::vector<std::string> ReadLines(ZDIO& io) {
  std::vector<std::string> lines;
  string_t line;
  while (io.scanline(line)) lines.emplace_back(line.c_str(), line.length());
  EXPECT_EQ(line.length(), 0);
  return lines;
}

// Every block of `text` as token lists.
std::vector<Tokens> Blocks(const std::string& text) {
  ZDIO io;
  if (text.find('\0') == std::string::npos) {
    io.open_string(text.c_str());
  } else {  // a text source ends at its first NUL: read the bytes from a file
    std::string path = zdtest::MakeTempDir() + "nul.parm";
    zdtest::WriteFile(path, text);
    io.force_open(path.c_str(), "r", false);
  }
  Mvec<string_t> tokens;
  std::vector<Tokens> blocks;
  while (ZDString::object2strings(io, tokens)) {
    blocks.emplace_back();
    for (const string_t& t : tokens) blocks.back().emplace_back(t.c_str(), t.length());
  }
  io.clean_close();
  return blocks;
}

TEST(ZDIOTest, PlainGzipAndStringSourcesReadWholeLines) {
  const std::string piece(4096, 'x'), longer(3 * 4096 + 17, 'y');
  const std::vector<std::string> lines = {"1 5 9\n",     "\n",  piece + "\n",
                                          longer + "\n", "z\n", piece};
  std::string text;
  for (const std::string& l : lines) text += l;
  std::string dir = zdtest::MakeTempDir();
  zdtest::WriteFile(dir + "plain.txt", text);
  zdtest::WriteFile(dir + "packed.gz", text, true);
  for (bool gz : {false, true}) {
    std::string path = dir + (gz ? "packed.gz" : "plain.txt");
    ZDIO io;
    io.force_open(path.c_str(), "r", gz);
    EXPECT_EQ(io.path.c_str(), path);
    EXPECT_EQ(ReadLines(io), lines);
    io.clean_close();
    EXPECT_STREQ(io.path.c_str(), "");
    EXPECT_FALSE(io.is_open());
  }
  ZDIO io;
  io.open_string(text.c_str());
  EXPECT_EQ(ReadLines(io), lines);
  io.clean_close();

  ZDIO raw;  // a gzip file opened as plain gives its raw bytes
  raw.force_open((dir + "packed.gz").c_str(), "r", false);
  EXPECT_EQ(raw.read_char(), 0x1f);
  EXPECT_EQ(raw.read_char(), 0x8b);
  raw.clean_close();

  for (const char* empty : {"", static_cast<const char*>(nullptr)}) {
    string_t line;
    line.init("stale");
    io.open_string(empty);
    EXPECT_FALSE(io.scanline(line));
    EXPECT_STREQ(line.c_str(), "");
    EXPECT_EQ(io.read_char(), -1);
    io.clean_close();
    EXPECT_EQ(io.text, nullptr);
  }
}

TEST(ZDIOTest, StdinStandsForStandardInputWhenReading) {
  ZDIO io;
  EXPECT_EQ(zdtest::Captured(ZDEvent::tracefile, [&] { io.force_open("STDIN", "r", false); }),
            "Use stdin for file\n");
  EXPECT_EQ(io.stream, stdin);
}

TEST(ZDStringTest, NumbersQuotesAndFormats) {
  EXPECT_EQ(ZDString::atol("0x10"), 16);
  EXPECT_EQ(ZDString::atol("010"), 8);
  EXPECT_EQ(ZDString::atol("  -12abc"), -12);
  int v = 99;
  EXPECT_TRUE(ZDString::atol_check("0X1f:0.5", v));
  EXPECT_EQ(v, 31);
  EXPECT_FALSE(ZDString::atol_check("abc", v));
  EXPECT_FALSE(ZDString::atol_check("", v));
  EXPECT_EQ(ZDString::atof("-0.25xyz"), -0.25);
  EXPECT_EQ(ZDString::atof(" 1e37"), 1e37);

  const std::pair<const char*, const char*> quoted[] = {
      {"\"w 1.bin\"", "w 1.bin"}, {"\"\"", ""},      {"\"\"\"", "\""}, {"\"", "\""},
      {"a\"b", "a\"b"},           {"plain", "plain"}};
  string_t s;
  for (const auto& q : quoted) {
    ZDString::atos(q.first, s);
    EXPECT_EQ(std::string(s.c_str(), s.length()), q.second) << q.first;
  }
  ZDString::stprintf(s, "%s%d%s", "data", 3, ".gz");
  EXPECT_STREQ(s.c_str(), "data3.gz");
  ZDString::stprintf(s, "%s", std::string(32767, 'q').c_str());
  EXPECT_EQ(s.length(), 32767);
}

TEST(TokenizerTest, TokensOfTheFirstBlock) {
  const std::pair<std::string, Tokens> cases[] = {
      {"# model\nclassifier clf0 {\nkernels = { ker0 , ker1 }  bias=-0.25 # shift\n"
       "binfile = \"w 1.bin\" }\n",
       {"classifier", "clf0", "{", "kernels", "=", "{", "ker0", ",", "ker1", "}", "bias", "=",
        "-0.25", "binfile", "=", "w 1.bin", "}"}},
      {"t n{k={x,y}}", {"t", "n", "{", "k", "=", "{", "x", ",", "y", "}", "}"}},
      // Vertical tab is no delimiter; the other blanks are.
      {"t n {a\vb\tc\rd\fe\n}", {"t", "n", "{", "a\vb", "c", "d", "e", "}"}},
      {"t n { k = \"\" }", {"t", "n", "{", "k", "=", "", "}"}},
      {"t n { k = \"a#b {x}, =\ny\" }", {"t", "n", "{", "k", "=", "a#b {x}, =\ny", "}"}},
      // Outside quotes '#' cuts even a word, up to the end of the line.
      {"t n { k = abc#x }\n}", {"t", "n", "{", "k", "=", "abc", "}"}},
      {"t n { ab\"c d\"ef }", {"t", "n", "{", "ab", "c d", "ef", "}"}},
      // The header keeps quotes, equals signs and commas.
      {"t\"x\" n=1,2 {}", {"t\"x\"", "n=1,2", "{", "}"}},
      {"a # c {\n b {}", {"a", "b", "{", "}"}},
      {std::string("t n { a\0b = \"x\0y\" }", 19),
       {"t", "n", "{", "a", "b", "=", std::string("x\0y", 3), "}"}},
  };
  for (const auto& c : cases) {
    auto blocks = Blocks(c.first);
    ASSERT_FALSE(blocks.empty()) << c.first;
    EXPECT_EQ(blocks[0], c.second) << c.first;
  }
}

TEST(TokenizerTest, BlockSequencesDepthAndLength) {
  auto blocks = Blocks("a x {} b y { k = v }c z {}\n  trailing words # and } a comment\n");
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[2], (Tokens{"c", "z", "{", "}"}));
  for (const char* none : {"# only comments\n\n   \t# more", "", "a b # {"})
    EXPECT_TRUE(Blocks(none).empty()) << none;

  // Nesting is followed in constant stack.
  const int depth = 1000000;
  blocks = Blocks("t n " + std::string(depth, '{') + std::string(depth, '}') + " t2 m {}");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].size(), 2u + 2u * depth);
  EXPECT_EQ(blocks[1], (Tokens{"t2", "m", "{", "}"}));

  const std::string word(20000, 'w');
  std::string body;
  for (int i = 0; i < 5000; i++) body += "k" + std::to_string(i) + "=" + std::to_string(i) + " ";
  blocks = Blocks("t n { k = " + word + " q = \"" + word + " " + word + "\" " + body + "}");
  ASSERT_EQ(blocks[0].size(), 10u + 3u * 5000u);
  EXPECT_EQ(blocks[0][5], word);
  EXPECT_EQ(blocks[0][8], word + " " + word);
  EXPECT_EQ(blocks[0][9 + 3 * 4999], "k4999");

  ZDIO io;  // a reused token list holds only the new block
  io.open_string("a b { k = long_value_here } c d { }");
  Mvec<string_t> tokens;
  ASSERT_TRUE(ZDString::object2strings(io, tokens));
  ASSERT_TRUE(ZDString::object2strings(io, tokens));
  ASSERT_EQ(tokens.size(), 4);
  EXPECT_STREQ(tokens[0].c_str(), "c");
  EXPECT_FALSE(ZDString::object2strings(io, tokens));
  EXPECT_EQ(tokens.size(), 0);
  io.clean_close();
}

TEST(ZDStringDeathTest, FailuresEndTheProcessWithTheirMessage) {
  const std::string missing = zdtest::MakeTempDir() + "missing.parm";
  const std::string big_line = zdtest::MakeTempDir() + "long.gz";
  {
    // 24414 full pieces without a newline: the line limit is reached exactly.
    gzFile gz = gzopen(big_line.c_str(), "wb1");
    const std::string chunk(4096 * 6, 'a');
    for (int k = 0; k < 24414 / 6; k++) gzwrite(gz, chunk.data(), chunk.size());
    gzclose(gz);
  }
  auto unclosed = [](const std::string& pending) {
    return UserError("extract_block",
                     "Block [" + pending + "] was opened with { and is not closed with }");
  };
  auto tokenize = [](const std::string& text) { return [text] { Blocks(text); }; };
  const std::string unopened = UserError("ZDIO::fgets", "trying to read unopened file\n");
  string_t s;
  Mvec<string_t> tokens;
  ZDIO closed;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { closed.force_open(missing.c_str(), "r", false); },
       UserError("ZDIO::force_open", "Cannot open " + missing + " for [r]\n")},
      {[&] { closed.force_open(missing.c_str(), "rb", true); },
       UserError("ZDIO::force_open", "Cannot open " + missing + " for [rb]\n")},
      {[&] { closed.scanline(s); }, unopened},
      {[&] { closed.read_char(); }, unopened},
      {[&] { ZDString::object2strings(closed, tokens); }, unopened},
      {[&] {
         closed.force_open(big_line.c_str(), "r", true);
         closed.scanline(s);
       },
       UserError("ZDString::line2strings",
                 "Line is longer than MAX_INPUT_LINE_LENGTH=100000000\n If this is not a problem "
                 "in your input file, you should increase this value\n")},
      {[] { ZDString::atol("abc"); },
       DataError("ZDString::atol", "abc is not an integer number\n")},
      {[] { ZDString::atol(""); }, DataError("ZDString::atol", " is not an integer number\n")},
      {[] { ZDString::atof("x1"); }, DataError("ZDString::atof", "x1 is not an double number\n")},
      {[&] { ZDString::atos("\"abc", s); },
       DataError("ZDString::atos", "[\"abc] only uses quotes on one side")},
      {[&] { ZDString::atos("abc\"", s); },
       DataError("ZDString::atos", "[abc\"] only uses quotes on one side")},
      {[&] { ZDString::stprintf(s, "%s", std::string(32768, 'q').c_str()); },
       DataError("ZDString::stprintf", "cannot create string with format %s (len is 32768)\n")},
      {tokenize("t n { k = abc"), unclosed(" abc")},
      {tokenize("t n { k = v }\nu m { k = {x}\n"), unclosed("\n")},
      {tokenize("t n { k = \"ab c"), unclosed("ab c")},
      {tokenize("t n { k = v # no end"), unclosed(" v ")},
      {tokenize("t n " + std::string(1000000, '{')), unclosed("")},
  };
  for (const auto& c : cases)
    EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), zdtest::Exact(c.second)) << c.second;
  std::remove(big_line.c_str());
}

}  // namespace
