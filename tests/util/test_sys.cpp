// File reader, value conversions, the block tokenizer of parameter files, and
// the errors they raise as ZDError with the text the decoder reports.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "../test_support.h"
#include "ZDutil_event.h"
#include "ZDutil_sys.h"

namespace {

using Tokens = std::vector<std::string>;
using Cat = ZDError::Category;

std::vector<std::string> ReadLines(ZDIO& io) {
  std::vector<std::string> lines;
  string_t line;
  while (io.scanline(line)) lines.emplace_back(line.c_str(), line.length());
  return lines;
}

// Every block of `text` as token lists.
std::vector<Tokens> Blocks(const std::string& text) {
  ZDIO io;
  io.open_string(text.c_str());
  Mvec<string_t> tokens;
  std::vector<Tokens> blocks;
  while (ZDString::object2strings(io, tokens)) {
    blocks.emplace_back();
    for (const string_t& t : tokens) blocks.back().emplace_back(t.c_str(), t.length());
  }
  io.clean_close();
  return blocks;
}

TEST(ZDIO, PlainGzipAndStringSourcesReadWholeLines) {
  const std::vector<std::string> lines = {"1 5 9\n", "\n", std::string(3 * 4096 + 17, 'y') + "\n",
                                          "z\n", std::string(4096, 'x')};
  std::string text;
  for (const std::string& l : lines) text += l;
  zdtest::TempDir dir;
  for (bool gz : {false, true}) {
    ZDIO io;
    io.force_open(zdtest::WriteFile(dir(gz ? "t.gz" : "t.txt"), text, gz).c_str(), "r", gz);
    EXPECT_EQ(ReadLines(io), lines);
    io.clean_close();
  }
  ZDIO io;
  io.open_string(text.c_str());
  EXPECT_EQ(ReadLines(io), lines);
  io.clean_close();
}

// A reader closes what it opened when it goes out of scope, so that a load
// ended by an error leaves no file open; a borrowed stream stays open.
TEST(ZDIO, ClosesWhatItOpenedOnDestruction) {
  auto open_files = [] {
    int n = 0;
    for (int fd = 0; fd < 1024; fd++) n += fcntl(fd, F_GETFD) != -1;
    return n;
  };
  zdtest::TempDir dir;
  const std::string path = zdtest::WriteFile(dir("t.gz"), "1 2\n", true);
  const int before = open_files();
  for (bool gz : {false, true}) {
    ZDIO io;
    io.force_open(path.c_str(), "r", gz);
    EXPECT_EQ(open_files(), before + 1);
  }
  EXPECT_EQ(open_files(), before);
  FILE* own = fopen(path.c_str(), "r");
  {
    ZDIO io;
    io.stream = own;
    io.borrowed = true;
  }
  EXPECT_EQ(fclose(own), 0);
}

TEST(ZDString, NumbersAndQuotes) {
  EXPECT_EQ(ZDString::atol("0x10"), 16);
  EXPECT_EQ(ZDString::atol("010"), 8);
  EXPECT_EQ(ZDString::atol("  -12abc"), -12);
  EXPECT_EQ(ZDString::atof("-0.25xyz"), -0.25);
  const std::pair<const char*, const char*> quoted[] = {
      {"\"w 1.bin\"", "w 1.bin"}, {"\"\"", ""}, {"\"", "\""}, {"a\"b", "a\"b"}};
  string_t s;
  for (const auto& q : quoted) {
    ZDString::atos(q.first, s);
    EXPECT_EQ(std::string(s.c_str(), s.length()), q.second) << q.first;
  }
}

TEST(Tokenizer, TokensOfBlocks) {
  const std::pair<std::string, Tokens> cases[] = {
      {"# model\nclassifier clf0 {\nkernels = { ker0 , ker1 }  bias=-0.25 # shift\n"
       "binfile = \"w 1.bin\" }\n",
       {"classifier", "clf0", "{", "kernels", "=", "{", "ker0", ",", "ker1", "}", "bias", "=",
        "-0.25", "binfile", "=", "w 1.bin", "}"}},
      {"t n { a\vb\tc\rd\fe\n}", {"t", "n", "{", "a\vb", "c", "d", "e", "}"}},  // \v is no blank
      {"t n {\"\"\"\" k = \"a#b {x}, =\ny\" }", {"t", "n", "{", "", "", "k", "=", "a#b {x}, =\ny", "}"}},
      {"t n { k = abc#x }\n}", {"t", "n", "{", "k", "=", "abc", "}"}},
      {"t\"x\" n=1,2 {}", {"t\"x\"", "n=1,2", "{", "}"}},  // the header keeps its characters
  };
  for (const auto& c : cases) {
    auto blocks = Blocks(c.first);
    ASSERT_FALSE(blocks.empty()) << c.first;
    EXPECT_EQ(blocks[0], c.second) << c.first;
  }
  auto blocks = Blocks("a x {} b y { k = v }c z {}\n  trailing words # and } a comment\n");
  ASSERT_EQ(blocks.size(), 3u);
  EXPECT_EQ(blocks[2], (Tokens{"c", "z", "{", "}"}));
  const int depth = 1000000;  // nesting is followed in constant stack
  blocks = Blocks("t n " + std::string(depth, '{') + std::string(depth, '}') + " t2 m {}");
  ASSERT_EQ(blocks.size(), 2u);
  EXPECT_EQ(blocks[0].size(), 2u + 2u * depth);
}

TEST(Errors, FailuresThrowTheirCategoryLabelAndMessage) {
  zdtest::TempDir dir;
  const std::string missing = dir("missing.parm"), folder = dir("sub");
  mkdir(folder.c_str(), 0755);
  const std::string whole = zdtest::WriteFile(dir("whole.gz"), std::string(5000, 'a') + "\n", true);
  const std::string cut = zdtest::WriteFile(dir("cut.gz"), zdtest::ReadFile(whole).substr(0, 20));
  auto read_all = [](const std::string& path, bool gz) {
    return [path, gz] {
      ZDIO io;
      io.force_open(path.c_str(), "r", gz);
      ReadLines(io);
    };
  };
  auto tokenize = [](const std::string& text) { return [text] { Blocks(text); }; };
  auto unclosed = [](const std::string& pending) {
    return "Block [" + pending + "] was opened with { and is not closed with }";
  };
  string_t s;
  const struct {
    std::function<void()> raise;
    Cat category;
    std::string label, message;
  } cases[] = {
      {read_all(missing, false), Cat::user_input, "ZDIO::force_open", "Cannot open " + missing + " for [r]\n"},
      {read_all(folder, true), Cat::user_input, "ZDIO::force_open", "Cannot open " + folder + " for [r]\n"},
      {read_all(cut, true), Cat::user_input, "ZDIO::scanline", "cannot read " + cut + ": unexpected end of file\n"},
      {[] { ZDString::atol("abc"); }, Cat::data_input, "ZDString::atol", "abc is not an integer number\n"},
      {[] { ZDString::atof("x1"); }, Cat::data_input, "ZDString::atof", "x1 is not an double number\n"},
      {[&] { ZDString::atos("\"abc", s); }, Cat::data_input, "ZDString::atos", "[\"abc] only uses quotes on one side"},
      {tokenize("t n { k = abc"), Cat::user_input, "extract_block", unclosed(" abc")},
      {tokenize("t n { k = v }\nu m { k = {x}\n"), Cat::user_input, "extract_block", unclosed("\n")},
      {tokenize("t n { k = \"ab c"), Cat::user_input, "extract_block", unclosed("ab c")},
      {[] { ZDEvent::abort_err("Mvec::set_nitems", "Cannot expand %s data", "borrowed"); }, Cat::abort,
       "Mvec::set_nitems", "Cannot expand borrowed data"},
  };
  for (const auto& c : cases) {
    try {
      c.raise();
      ADD_FAILURE() << "no error: " << c.message;
    } catch (const ZDError& e) {
      EXPECT_EQ(e.category(), c.category) << c.message;
      EXPECT_EQ(e.label(), c.label);
      EXPECT_EQ(e.message(), c.message);
    }
  }
}

// The decoder's text of each category: label, message (copied to the trace
// stream for user, pedantic and data errors), then the category's advice.
TEST(Errors, ReportWritesTheDecodersText) {
  const struct {
    Cat category;
    std::string err, trace;
  } cases[] = {
      {Cat::user_input, "L: bad 3\n\nPlease verify first your input model and your data\n", "bad 3\n"},
      {Cat::data_input, "L: bad 3\n\nData Error: Please check your data!\n", "bad 3\n"},
      {Cat::pedantic,
       "L: bad 3\n\nPedantic Error: Turn off pedantic flag if you do not want this error to happen\n",
       "bad 3\n"},
      {Cat::abort, "L: bad 3\n\n", ""},
  };
  // What `report` writes on its two streams.
  auto report = [](const ZDError& e) {
    FILE* files[2] = {tmpfile(), tmpfile()};
    e.report(files[0], files[1]);
    std::pair<std::string, std::string> texts;
    for (FILE* f : files) {
      std::string& text = f == files[0] ? texts.first : texts.second;
      rewind(f);
      for (int ch; (ch = getc(f)) != EOF;) text += static_cast<char>(ch);
      fclose(f);
    }
    return texts;
  };
  for (const auto& c : cases) {
    ZDError e(c.category, "L", "bad 3\n");
    EXPECT_STREQ(e.what(), "L: bad 3");
    EXPECT_EQ(report(e), std::make_pair(c.err, c.trace));
  }
  EXPECT_EQ(report(ZDError(Cat::memory, "REALLOC", "5 elems")).first.rfind(
                "REALLOC: 5 elems\nMemory Error: Please send error message to ", 0),
            0u);
}

}  // namespace
