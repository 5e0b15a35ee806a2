// Feature dictionary loading, its error reports and n-gram feature generation.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "loadfeats.h"

namespace {

// Writes dictionaries into a private temporary directory.
class DictTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    std::string tmpl = testing::TempDir() + "dictXXXXXX";
    ASSERT_NE(mkdtemp(&tmpl[0]), nullptr);
    dir_ = new std::string(tmpl);
  }

  std::string write_dict(const std::string& content) {
    std::string path = *dir_ + "/dict" + std::to_string(files_++) + ".txt";
    FILE* fp = fopen(path.c_str(), "wb");
    EXPECT_NE(fp, nullptr);
    fwrite(content.data(), 1, content.size(), fp);
    fclose(fp);
    return path;
  }

  DSTHashTable load(const std::string& content) {
    return LoadFeats(write_dict(content).c_str(), 0);
  }

  static std::string* dir_;
  int files_ = 0;
};

std::string* DictTest::dir_ = nullptr;

// `text` as a POSIX extended regex matching exactly itself.
std::string literal(const std::string& text) {
  std::string re = "^";
  for (char c : text) {
    if (std::string("\\^$.|?*+()[]{}").find(c) != std::string::npos) re += '\\';
    re += c;
  }
  return re + "$";
}

std::string bad_line_report(const std::string& msg, int nl, const std::string& path,
                            const std::string& line) {
  return literal(msg + " at " + std::to_string(nl) + " in " + path +
                 " file\n\t Offending line: " + line + "\n");
}

std::vector<int> features(const std::string& line, DSTHashTable ht, int capacity = 100) {
  std::vector<int> out(static_cast<size_t>(capacity) + 1, -7);
  int n = GenerateUptoTrigrams(line.c_str(), ht, out.data(), capacity);
  EXPECT_EQ(out[static_cast<size_t>(capacity)], -7) << "wrote past the capacity";
  out.resize(static_cast<size_t>(n));
  return out;
}

using Ints = std::vector<int>;

TEST_F(DictTest, MapsWholeRestOfLineIncludingBlanks) {
  DSTHashTable ht = load("0 the_1\n1 cat_2\n100 on_5 the_6\n7 a_1 b_2 c_3\n");
  EXPECT_EQ(MapWord2Ind("the_1", ht), 0);
  EXPECT_EQ(MapWord2Ind("cat_2", ht), 1);
  EXPECT_EQ(MapWord2Ind("on_5 the_6", ht), 100);
  EXPECT_EQ(MapWord2Ind("a_1 b_2 c_3", ht), 7);
  EXPECT_EQ(MapWord2Ind("on_5", ht), -1);
  EXPECT_EQ(MapWord2Ind("the_2", ht), -1);
  EXPECT_EQ(ht->tblsz, 49157u);
  FreeFeats(ht, 0);
}

TEST_F(DictTest, IndexSyntaxAndSingleDelimiter) {
  DSTHashTable ht = load(
      "010 octal\n0x1F hex\n0X10 HEX\n+7 plus\n  12 indented\n5\ttab\n"
      "6  two blanks\n9\rcr\n11\fff\n0 zero");
  EXPECT_EQ(MapWord2Ind("octal", ht), 8);
  EXPECT_EQ(MapWord2Ind("hex", ht), 31);
  EXPECT_EQ(MapWord2Ind("HEX", ht), 16);
  EXPECT_EQ(MapWord2Ind("plus", ht), 7);
  EXPECT_EQ(MapWord2Ind("indented", ht), 12);
  EXPECT_EQ(MapWord2Ind("tab", ht), 5);
  EXPECT_EQ(MapWord2Ind(" two blanks", ht), 6);  // the second blank belongs to the string
  EXPECT_EQ(MapWord2Ind("two blanks", ht), -1);
  EXPECT_EQ(MapWord2Ind("cr", ht), 9);
  EXPECT_EQ(MapWord2Ind("ff", ht), 11);
  EXPECT_EQ(MapWord2Ind("zero", ht), 0);  // last line without a newline
  FreeFeats(ht, 0);
}

TEST_F(DictTest, CarriageReturnStaysInString) {
  DSTHashTable ht = load("3 the_1\r\n4 cat_2\r\n");
  EXPECT_EQ(MapWord2Ind("the_1\r", ht), 3);
  EXPECT_EQ(MapWord2Ind("the_1", ht), -1);
  EXPECT_EQ(features("the cat", ht), Ints{});
  EXPECT_EQ(features("the\r", ht), Ints{});  // forms "the\r_1"
  FreeFeats(ht, 0);
}

TEST_F(DictTest, LaterDuplicateWins) {
  DSTHashTable ht = load("1 x_1\n2 x_1\n");
  EXPECT_EQ(MapWord2Ind("x_1", ht), 2);
  FreeFeats(ht, 0);
}

TEST_F(DictTest, InverseTableIsKeyedByIndex) {
  DSTHashTable ht = LoadFeats(write_dict("0 the_1\n0x10 on_5 the_6\n").c_str(), 1);
  auto string_of = [&](int index) -> std::string {
    HEInv probe = {index, nullptr};
    const HEInv* e = static_cast<const HEInv*>(DSTHashFind(ht, &probe));
    return e ? e->key : "<none>";
  };
  EXPECT_EQ(string_of(0), "the_1");
  EXPECT_EQ(string_of(16), "on_5 the_6");
  EXPECT_EQ(string_of(1), "<none>");
  FreeFeats(ht, 1);
}

TEST_F(DictTest, LongestAcceptedLineIs1021CharactersWithNewline) {
  std::string str(1018, 's');  // "9 " + 1018 characters + newline: a read of 1021
  DSTHashTable ht = load("9 " + str + "\n");
  EXPECT_EQ(MapWord2Ind(str.c_str(), ht), 9);
  FreeFeats(ht, 0);
}

using DictDeathTest = DictTest;

TEST_F(DictDeathTest, MissingFileCannotBeOpened) {
  std::string path = *dir_ + "/absent.txt";
  EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
              literal("can't open " + path + " -- lexiconread\n"));
}

TEST_F(DictDeathTest, LineTooLongShowsWholeLine) {
  std::string line = "9 " + std::string(1019, 'x');  // 1022 characters with its newline
  std::string path = write_dict("0 a\n" + line + "\n1 b\n");
  EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
              bad_line_report("line too long", 1, path, line));

  std::string unterminated = "9 " + std::string(1020, 'y');  // fills the read on its own
  path = write_dict(unterminated);
  EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
              bad_line_report("line too long", 0, path, unterminated));
}

TEST_F(DictDeathTest, WrongNumberOfColumns) {
  struct Case {
    std::string content, line;
    int nl;
  } cases[] = {
      {"0 the_1\n1 cat_2\n\n2 sat_3\n", "", 2},  // blank line
      {"0 a\n5 \n", "5 ", 1},                    // index and a trailing blank
      {"5\n", "5", 0},                           // index only
      {"0 a\n5", "5", 1},                        // index only, no newline
      {"   \t\n", "   \t", 0},                   // delimiters only
      {"7\r\n", "7\r", 0},                       // CR ends the index, nothing follows
  };
  for (const Case& c : cases) {
    std::string path = write_dict(c.content);
    EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
                bad_line_report("wrong number of columns", c.nl, path, c.line))
        << c.content;
  }
}

TEST_F(DictDeathTest, BadNonNegativeNumberShowsLineBeforeTokenising) {
  struct Case {
    std::string content, line;
    int nl;
  } cases[] = {
      {"1 ok\n7y a b\tc\n", "7y a b\tc", 1},  // letter after the digits
      {"-3 neg\n", "-3 neg", 0},
      {"08 a\n", "08 a", 0},  // 8 is no octal digit
      {"0x g\n", "0x g", 0},  // no hexadecimal digit
      {"x1 a\n", "x1 a", 0},
      {"2147483648 big\n", "2147483648 big", 0},  // beyond the int range of an index
  };
  for (const Case& c : cases) {
    std::string path = write_dict(c.content);
    EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
                bad_line_report("bad non-negative number", c.nl, path, c.line))
        << c.content;
  }
}

// Every feature of "a b c" in the dictionary, valued in generation order.
const char kAbc[] =
    "1 a_1\n2 b_2\n3 a_1 b_2\n4 c_3\n5 b_2 c_3\n6 a_1 b_2 c_3\n"
    "20 c_1\n21 c_4\n22 b_3 c_4\n";

TEST_F(DictTest, UnigramBigramTrigramPerPosition) {
  DSTHashTable ht = load(kAbc);
  EXPECT_EQ(features("a b c", ht), (Ints{1, 2, 3, 4, 5, 6}));
  EXPECT_EQ(features("c", ht), (Ints{20}));
  EXPECT_EQ(features("c c", ht), (Ints{20}));  // c_2 is another feature
  EXPECT_EQ(features("x b c", ht), (Ints{2, 4, 5}));
  EXPECT_EQ(features("x a b c", ht), (Ints{21, 22}));  // c_4, then b_3 c_4
  FreeFeats(ht, 0);
}

TEST_F(DictTest, IndicesAreNeitherSortedNorDeduplicated) {
  DSTHashTable ht = load("5 a_1\n5 a_2\n3 a_1 a_2\n");
  EXPECT_EQ(features("a a", ht), (Ints{5, 5, 3}));
  FreeFeats(ht, 0);
}

TEST_F(DictTest, TokenDelimiters) {
  DSTHashTable ht = load(kAbc);
  const Ints all = {1, 2, 3, 4, 5, 6};
  EXPECT_EQ(features("a,b,c", ht), all);
  EXPECT_EQ(features("a\tb\nc\n", ht), all);
  EXPECT_EQ(features(" ,a ,, b\t\t c, ", ht), all);
  EXPECT_EQ(features("a b c\r\n", ht), (Ints{1, 2, 3}));  // "c\r_3" is unknown
  EXPECT_EQ(features("", ht), Ints{});
  EXPECT_EQ(features(" ,\t\n", ht), Ints{});
  FreeFeats(ht, 0);
}

TEST_F(DictTest, MultiDigitPositions) {
  DSTHashTable ht = load("10 j_10\n11 j_10 k_11\n12 i_9 j_10 k_11\n");
  EXPECT_EQ(features("a b c d e f g h i j k", ht), (Ints{10, 11, 12}));
  FreeFeats(ht, 0);
}

TEST_F(DictTest, CapacityBoundsTheIndices) {
  DSTHashTable ht = load(kAbc);
  EXPECT_EQ(features("a b c", ht, 4), (Ints{1, 2, 3, 4}));
  EXPECT_EQ(features("a b c", ht, 1), (Ints{1}));
  EXPECT_EQ(features("a b c", ht, 0), Ints{});
  FreeFeats(ht, 0);
}

TEST_F(DictTest, OverlongTokenIsSkippedWithItsNgrams) {
  DSTHashTable ht = load("1 a_1\n2 b_3\n3 c_4\n4 b_3 c_4\n");
  std::string huge(5000, 'z');
  EXPECT_EQ(features("a " + huge + " b c", ht), (Ints{1, 2, 3, 4}));
  std::string longest(1016, 'w');  // "w..._1" is 1018 characters, the longest entry
  FreeFeats(ht, 0);
  ht = load("7 " + longest + "_1\n8 " + longest + "_2\n");
  EXPECT_EQ(features(longest + " " + longest, ht), (Ints{7, 8}));
  FreeFeats(ht, 0);
}

// The features of a line built one at a time with the documented formats.
std::vector<int> reference_features(const std::vector<std::string>& tokens, DSTHashTable ht) {
  std::vector<int> out;
  std::vector<char> buf(1 << 16);
  auto add = [&] {
    int v = MapWord2Ind(buf.data(), ht);
    if (v != -1) out.push_back(v);
  };
  for (size_t k = 0; k < tokens.size(); k++) {
    int i = static_cast<int>(k) + 1;
    snprintf(buf.data(), buf.size(), "%s_%d", tokens[k].c_str(), i);
    add();
    if (i > 1) {
      snprintf(buf.data(), buf.size(), "%s_%d %s_%d", tokens[k - 1].c_str(), i - 1,
               tokens[k].c_str(), i);
      add();
    }
    if (i > 2) {
      snprintf(buf.data(), buf.size(), "%s_%d %s_%d %s_%d", tokens[k - 2].c_str(), i - 2,
               tokens[k - 1].c_str(), i - 1, tokens[k].c_str(), i);
      add();
    }
  }
  return out;
}

// Long lines of short and near-limit tokens, with a dictionary holding most of
// their n-grams, give the same indices as looking each feature up in turn.
TEST_F(DictTest, LongLinesMatchFeatureByFeatureLookup) {
  std::mt19937 rng(2024);
  std::vector<std::string> vocab = {"a", "bb", "ccc", std::string(300, 'd'), std::string(500, 'e')};
  std::vector<std::string> tokens;
  std::string line, dict;
  int next_index = 0;
  for (int k = 0; k < 400; k++) {
    tokens.push_back(vocab[rng() % vocab.size()]);
    line += tokens.back() + (k % 5 == 4 ? "," : " ");
  }
  for (size_t k = 0; k < tokens.size(); k++) {
    std::string uni = tokens[k] + "_" + std::to_string(k + 1);
    std::string bi = k > 0 ? tokens[k - 1] + "_" + std::to_string(k) + " " + uni : "";
    std::string tri = k > 1 ? tokens[k - 2] + "_" + std::to_string(k - 1) + " " + bi : "";
    for (const std::string* f : {&uni, &bi, &tri}) {
      std::string entry = std::to_string(next_index) + " " + *f;
      if (!f->empty() && entry.size() <= 1020 && rng() % 4 != 0) {  // longer lines are rejected
        dict += entry + "\n";
        next_index++;
      }
    }
  }
  DSTHashTable ht = load(dict);
  std::vector<int> expected = reference_features(tokens, ht);
  EXPECT_GT(expected.size(), 600u);
  EXPECT_EQ(features(line, ht, 2000), expected);
  EXPECT_EQ(features(line, ht, 500), std::vector<int>(expected.begin(), expected.begin() + 500));
  FreeFeats(ht, 0);
}

}  // namespace
