// Feature dictionary loading, its error reports and n-gram feature generation.
#include <gtest/gtest.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "../test_support.h"
#include "loadfeats.h"

namespace {

using Ints = std::vector<int>;

// Dictionaries written into a private temporary directory.
class DictTest : public testing::Test {
 protected:
  std::string dir = zdtest::MakeTempDir();
  int files = 0;

  std::string write_dict(const std::string& content) {
    std::string path = dir + "dict" + std::to_string(files++) + ".txt";
    zdtest::WriteFile(path, content);
    return path;
  }
  DSTHashTable load(const std::string& content) {
    return LoadFeats(write_dict(content).c_str(), 0);
  }
};

Ints features(const std::string& line, DSTHashTable ht, int capacity = 100) {
  Ints out(static_cast<size_t>(capacity) + 1, -7);
  int n = GenerateUptoTrigrams(line.c_str(), ht, out.data(), capacity);
  EXPECT_EQ(out[static_cast<size_t>(capacity)], -7) << "wrote past the capacity";
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST_F(DictTest, IndexSyntaxAndTheRestOfTheLineAsString) {
  std::string longest(1018, 's');  // "9 " + 1018 characters + newline: a read of 1021
  DSTHashTable ht = load(
      "0 the_1\n100 on_5 the_6\n010 octal\n0x1F hex\n0X10 HEX\n+7 plus\n  12 indented\n5\ttab\n"
      "6  two blanks\n9\rcr\n11\fff\n3 cr_1\r\n1 x_1\n2 x_1\n9 " +
      longest + "\n0 zero");
  const std::pair<std::string, int> cases[] = {
      {"the_1", 0},  {"on_5 the_6", 100}, {"on_5", -1},       {"octal", 8}, {"hex", 31},
      {"HEX", 16},   {"plus", 7},         {"indented", 12},   {"tab", 5},   {"cr", 9},
      {"ff", 11},    {"two blanks", -1},  {" two blanks", 6},  // one delimiter only
      {"cr_1\r", 3}, {"cr_1", -1},        {"x_1", 2},          // a later duplicate wins
      {longest, 9},  {"zero", 0}};                             // last line without newline
  for (const auto& c : cases) EXPECT_EQ(MapWord2Ind(c.first.c_str(), ht), c.second) << c.first;
  EXPECT_EQ(ht->tblsz, 49157u);
  EXPECT_EQ(features("cr", ht), Ints{});    // "cr_1\r" is not "cr_1"
  EXPECT_EQ(features("cr\r", ht), Ints{});  // nor "cr\r_1"
  FreeFeats(ht);

  ht = LoadFeats(write_dict("0 the_1\n0x10 on_5 the_6\n").c_str(), 1);
  auto inverse = [&](int index) -> std::string {
    HEInv probe = {index, nullptr};
    const HEInv* e = static_cast<const HEInv*>(DSTHashFind(ht, &probe));
    return e ? e->key : "<none>";
  };
  EXPECT_EQ(inverse(0), "the_1");
  EXPECT_EQ(inverse(16), "on_5 the_6");
  EXPECT_EQ(inverse(1), "<none>");
  FreeFeats(ht);
}

TEST_F(DictTest, LargeDictionaryKeepsEveryKeyAndAcceptsLaterInserts) {
  // About 3 MB of keys: they fill several key blocks of growing size.
  std::string dict;
  auto key = [](int k) { return "key" + std::to_string(k) + "_" + std::string(k % 40, 'x'); };
  for (int k = 0; k < 60000; k++) dict += std::to_string(k) + " " + key(k) + "\n";
  dict += "7 " + std::string(1018, 'L') + "\n70000 alpha_1\n70001 alpha_1 beta_2\n";
  DSTHashTable ht = load(dict);
  for (int k = 0; k < 60000; k += 7) ASSERT_EQ(MapWord2Ind(key(k).c_str(), ht), k) << key(k);
  EXPECT_EQ(MapWord2Ind(std::string(1018, 'L').c_str(), ht), 7);
  EXPECT_EQ(features("alpha beta", ht), (Ints{70000, 70001}));

  // An insert after loading drops the packed copy; lookups then walk the
  // chains and see the new entry.
  char late[] = "late_1";
  HE entry = {late, 99, 0};
  DSTHashInsert(ht, &entry);
  EXPECT_EQ(features("late", ht), Ints{99});
  EXPECT_EQ(features("alpha beta late", ht), (Ints{70000, 70001}));
  EXPECT_EQ(features("alpha, beta", ht), (Ints{70000, 70001}));
  FreeFeats(ht);
}

TEST_F(DictTest, BadDictionariesExitWith255ShowingTheLine) {
  const std::string too_long = "9 " + std::string(1019, 'x');  // 1022 characters with its newline
  const std::string fills = "9 " + std::string(1020, 'y');     // fills the read on its own
  const struct {
    std::string content, msg, line;
    int nl;
  } cases[] = {
      {"0 a\n" + too_long + "\n1 b\n", "line too long", too_long, 1},
      {fills, "line too long", fills, 0},
      {"0 the_1\n1 cat_2\n\n2 sat_3\n", "wrong number of columns", "", 2},
      {"0 a\n5 \n", "wrong number of columns", "5 ", 1},
      {"5\n", "wrong number of columns", "5", 0},
      {"0 a\n5", "wrong number of columns", "5", 1},
      {"   \t\n", "wrong number of columns", "   \t", 0},
      {"7\r\n", "wrong number of columns", "7\r", 0},  // CR ends the index
      {"1 ok\n7y a b\tc\n", "bad non-negative number", "7y a b\tc", 1},
      {"-3 neg\n", "bad non-negative number", "-3 neg", 0},
      {"08 a\n", "bad non-negative number", "08 a", 0},  // 8 is no octal digit
      {"0x g\n", "bad non-negative number", "0x g", 0},
      {"x1 a\n", "bad non-negative number", "x1 a", 0},
      {"2147483648 big\n", "bad non-negative number", "2147483648 big", 0},  // beyond an int
  };
  for (const auto& c : cases) {
    std::string path = write_dict(c.content);
    EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
                zdtest::Exact(c.msg + " at " + std::to_string(c.nl) + " in " + path +
                              " file\n\t Offending line: " + c.line + "\n"))
        << c.content;
  }
  EXPECT_EXIT(LoadFeats((dir + "absent.txt").c_str(), 0), testing::ExitedWithCode(255),
              zdtest::Exact("can't open " + dir + "absent.txt -- lexiconread\n"));
}

TEST_F(DictTest, LongFilesReadLineByLineAsFgetsWould) {
  // About 200 KB of lines from 6 to 1021 characters, so that lines straddle
  // the reader's blocks. A NUL ends a line's content for the loader; the
  // bytes after it, up to the newline, are dropped with it.
  std::string dict;
  std::vector<std::string> keys;
  for (int k = 0; k < 400; k++) {
    keys.push_back("k" + std::to_string(k) + "_" + std::string((k * 379) % 1000, 'a' + k % 26));
    dict += std::to_string(k) + " " + keys.back();
    if (k % 50 == 3) dict += std::string("\0", 1) + "dropped";
    if (k < 399) dict += "\n";  // the last line has no newline
  }
  DSTHashTable ht = load(dict);
  for (int k = 0; k < 400; k++) EXPECT_EQ(MapWord2Ind(keys[k].c_str(), ht), k) << k;
  FreeFeats(ht);

  // A line too long far into the file: its number and its first 1022
  // characters are reported.
  const std::string too_long = "9 " + std::string(1500, 'z');
  std::string path = write_dict(dict + "\n" + too_long + "\n");
  EXPECT_EXIT(LoadFeats(path.c_str(), 0), testing::ExitedWithCode(255),
              zdtest::Exact("line too long at 400 in " + path +
                            " file\n\t Offending line: " + too_long.substr(0, 1022) + "\n"));
  // A NUL in a read of 1022 characters makes it short of "too long": the
  // loader takes what follows the read, up to the newline, as the next line.
  path = write_dict(std::string("1 a\0", 4) + std::string(1018, 'b') + "5 tail\n2 c\n");
  ht = LoadFeats(path.c_str(), 0);
  EXPECT_EQ(MapWord2Ind("a", ht), 1);
  EXPECT_EQ(MapWord2Ind("tail", ht), 5);
  EXPECT_EQ(MapWord2Ind("c", ht), 2);
  FreeFeats(ht);
}

TEST_F(DictTest, NgramsPerPositionDelimitersAndCapacity) {
  DSTHashTable ht = load(
      "1 a_1\n2 b_2\n3 a_1 b_2\n4 c_3\n5 b_2 c_3\n6 a_1 b_2 c_3\n20 c_1\n21 c_4\n22 b_3 c_4\n"
      "23 b_3\n30 j_10\n31 j_10 k_11\n32 i_9 j_10 k_11\n40 d_1\n40 d_2\n41 d_1 d_2\n");
  const Ints abc = {1, 2, 3, 4, 5, 6};
  const std::pair<std::string, Ints> cases[] = {
      {"a b c", abc},
      {"a,b,c", abc},
      {"a\tb\nc\n", abc},
      {" ,a ,, b\t\t c, ", abc},
      {"a b c\r\n", {1, 2, 3}},  // "c\r_3" is unknown
      {"c", {20}},
      {"c c", {20}},  // c_2 is another feature
      {"x b c", {2, 4, 5}},
      {"x a b c", {23, 21, 22}},  // b_3, c_4, then b_3 c_4
      {"a b c d e f g h i j k", {1, 2, 3, 4, 5, 6, 30, 31, 32}},
      {"d d", {40, 40, 41}},  // neither sorted nor deduplicated
      {"", {}},
      {" ,\t\n", {}},
  };
  for (const auto& c : cases) EXPECT_EQ(features(c.first, ht), c.second) << c.first;
  EXPECT_EQ(features("a b c", ht, 4), (Ints{1, 2, 3, 4}));
  EXPECT_EQ(features("a b c", ht, 1), Ints{1});
  EXPECT_EQ(features("a b c", ht, 0), Ints{});
  // A token too long for a feature string is skipped with its n-grams.
  EXPECT_EQ(features("a " + std::string(5000, 'z') + " b c", ht), (Ints{1, 23, 21, 22}));
  FreeFeats(ht);
  std::string longest(1016, 'w');  // "w..._1" is 1018 characters, the longest entry
  ht = load("7 " + longest + "_1\n8 " + longest + "_2\n");
  EXPECT_EQ(features(longest + " " + longest, ht), (Ints{7, 8}));
  FreeFeats(ht);
}

// Long lines of short and near-limit tokens, with a dictionary holding most of
// their n-grams, give the same indices as looking each feature up in turn.
TEST_F(DictTest, LongLinesMatchFeatureByFeatureLookup) {
  std::mt19937 rng(2024);
  const std::string vocab[] = {"a", "bb", "ccc", std::string(300, 'd'), std::string(500, 'e')};
  std::vector<std::string> grams;  // per position: unigram, bigram, trigram
  std::string line, dict;
  std::string prev, prevprev;
  for (int k = 1; k <= 250; k++) {
    std::string tok = vocab[rng() % 5], uni = tok + "_" + std::to_string(k);
    line += tok + (k % 5 == 0 ? "," : " ");
    std::string bi = k > 1 ? prev + " " + uni : "", tri = k > 2 ? prevprev + " " + bi : "";
    for (const std::string& f : {uni, bi, tri}) {
      grams.push_back(f);
      std::string entry = std::to_string(grams.size()) + " " + f;
      if (!f.empty() && entry.size() <= 1020 && rng() % 4 != 0) dict += entry + "\n";
    }
    prevprev = prev;
    prev = uni;
  }
  DSTHashTable ht = load(dict);
  Ints expected;
  for (const std::string& f : grams) {
    int v = f.empty() ? -1 : MapWord2Ind(f.c_str(), ht);
    if (v != -1) expected.push_back(v);
  }
  EXPECT_GT(expected.size(), 400u);
  EXPECT_EQ(features(line, ht, 2000), expected);
  EXPECT_EQ(features(line, ht, 300), Ints(expected.begin(), expected.begin() + 300));
  FreeFeats(ht);
}

}  // namespace
