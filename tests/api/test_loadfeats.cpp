// The feature dictionary: index syntax, errors with the offending line, and
// the position-tagged n-gram features of input lines.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "../test_support.h"
#include "loadfeats.h"

namespace {

using Ints = std::vector<int>;

Ints Features(const std::string& line, DSTHashTable ht, int capacity = 100) {
  Ints out(static_cast<size_t>(capacity) + 1, -7);
  int n = GenerateUptoTrigrams(line.c_str(), ht, out.data(), capacity);
  EXPECT_EQ(out[static_cast<size_t>(capacity)], -7) << "wrote past the capacity";
  out.resize(static_cast<size_t>(n));
  return out;
}

TEST(Dictionary, IndexSyntaxAndTheRestOfTheLineAsString) {
  zdtest::TempDir tmp;
  const std::string longest(1018, 's');  // "9 " + 1018 characters + newline: a read of 1021
  std::string dict =
      "0 the_1\n100 on_5 the_6\n010 octal\n0x1F hex\n+7 plus\n  12 indented\n5\ttab\n"
      "6  two blanks\n9\rcr\n3 cr_1\r\n1 x_1\n2 x_1\n9 " + longest + "\n";
  for (int k = 0; k < 400; k++)  // lines straddling the reader's blocks; a NUL ends a line
    dict += std::to_string(1000 + k) + " k" + std::to_string(k) + "_" +
            std::string((k * 379) % 1000, 'a') + (k % 50 == 3 ? std::string("\0x", 2) : "") + "\n";
  DSTHashTable ht = LoadFeats(zdtest::WriteFile(tmp("d.txt"), dict + "0 zero").c_str(), 0);
  const std::pair<std::string, int> cases[] = {
      {"the_1", 0},   {"on_5 the_6", 100}, {"on_5", -1},        {"octal", 8},  {"hex", 31},
      {"plus", 7},    {"indented", 12},    {"tab", 5},          {"cr", 9},     {"two blanks", -1},
      {" two blanks", 6},                  {"cr_1\r", 3},       {"cr_1", -1},  {"x_1", 2},
      {longest, 9},   {"zero", 0},         {"k53_" + std::string(53 * 379 % 1000, 'a'), 1053},
      {"k399_" + std::string(399 * 379 % 1000, 'a'), 1399}};
  for (const auto& c : cases) EXPECT_EQ(MapWord2Ind(c.first.c_str(), ht), c.second) << c.first;
  FreeFeats(ht);
}

TEST(Dictionary, BadLinesThrowNamingTheLine) {
  zdtest::TempDir tmp;
  const std::string too_long = "9 " + std::string(1019, 'x');  // 1022 characters with its newline
  const struct {
    std::string content, msg, line;
    int nl;
  } cases[] = {
      {"0 a\n" + too_long + "\n1 b\n", "line too long", too_long, 1},
      {"0 the_1\n1 cat_2\n\n2 sat_3\n", "wrong number of columns", "", 2},
      {"0 a\n5 \n", "wrong number of columns", "5 ", 1},
      {"0 a\n5", "wrong number of columns", "5", 1},
      {"7\r\n", "wrong number of columns", "7\r", 0},  // CR ends the index
      {"1 ok\n7y a b\tc\n", "bad non-negative number", "7y a b\tc", 1},
      {"-3 neg\n", "bad non-negative number", "-3 neg", 0},
      {"08 a\n", "bad non-negative number", "08 a", 0},
      {"2147483648 big\n", "bad non-negative number", "2147483648 big", 0},
  };
  for (const auto& c : cases) {
    const std::string path = zdtest::WriteFile(tmp("bad.txt"), c.content);
    try {
      FreeFeats(LoadFeats(path.c_str(), 0));
      ADD_FAILURE() << "no error for " << c.content;
    } catch (const DictionaryError& e) {
      EXPECT_EQ(std::string(e.what()), c.msg + " at " + std::to_string(c.nl) + " in " + path +
                                           " file\n\t Offending line: " + c.line);
    }
  }
  EXPECT_THROW(LoadFeats(tmp("absent.txt").c_str(), 0), DictionaryError);
}

TEST(Dictionary, NgramsPerPositionDelimitersAndCapacity) {
  zdtest::TempDir tmp;
  DSTHashTable ht = LoadFeats(
      zdtest::WriteFile(tmp("d.txt"),
                        "1 a_1\n2 b_2\n3 a_1 b_2\n4 c_3\n5 b_2 c_3\n6 a_1 b_2 c_3\n20 c_1\n"
                        "21 c_4\n22 b_3 c_4\n23 b_3\n30 j_10\n31 j_10 k_11\n32 i_9 j_10 k_11\n"
                        "40 d_1\n40 d_2\n41 d_1 d_2\n")
          .c_str(),
      0);
  const Ints abc = {1, 2, 3, 4, 5, 6};
  const std::pair<std::string, Ints> cases[] = {
      {"a b c", abc},
      {" ,a ,, b\t\t c\n, ", abc},
      {"a b c\r\n", {1, 2, 3}},  // "c\r_3" is unknown
      {"c c", {20}},
      {"x a b c", {23, 21, 22}},  // b_3, c_4, then b_3 c_4
      {"a b c d e f g h i j k", {1, 2, 3, 4, 5, 6, 30, 31, 32}},
      {"d d", {40, 40, 41}},  // neither sorted nor deduplicated
      {" ,\t\n", {}},
      {"a " + std::string(5000, 'z') + " b c", {1, 23, 21, 22}},  // too long: skipped with its n-grams
  };
  for (const auto& c : cases) EXPECT_EQ(Features(c.first, ht), c.second) << c.first;
  EXPECT_EQ(Features("a b c", ht, 4), (Ints{1, 2, 3, 4}));
  EXPECT_EQ(Features("a b c", ht, 0), Ints{});
  FreeFeats(ht);
}

// The lookups of GenerateUptoTrigrams against the table's own answers for
// the strings NgramCursor forms, on dictionaries full of keys that look like
// n-grams but are not (other spacing, leading zeros, a delimiter inside a
// token, positions out of step), tokens that differ only past their eighth
// byte, and keys given twice with other values, before and after growths;
// lines long enough that n-grams span the lookup's batches of tokens, ending
// in a delimiter or in a token.
// Keys given twice, in files of 120000, 147472 and 147473 lines. The table
// grows from 49157 buckets at the 147473rd line, which reverses its chains:
// until then the later entry of a key is found, after it the earlier one.
// "x y" (no line can form it; lines 1 and 100000) is found as 4, then as 3.
// "dup_1" (lines 0 and the last) is found as 7 in every file: the growth comes
// before its second entry. Most filler keys are ones no line forms either, so
// the file's order of the two kinds of keys decides both answers. Lookups
// through the table and through a line's n-grams agree, also from several
// threads at once on a table whose entries were never linked before.
TEST(Dictionary, KeysGivenTwiceBeforeAndAfterTheTableGrows) {
  zdtest::TempDir tmp;
  for (const int lines : {120000, 147472, 147473}) {
    std::string dict = "5 dup_1\n3 x y\n";
    for (int k = 2; k < lines - 1; k++) {
      dict += k == 100000 ? "4 x y\n" : "9 w" + std::to_string(k) + (k % 3 ? "_02\n" : "_2\n");
    }
    dict += "7 dup_1\n";
    DSTHashTable ht = LoadFeats(zdtest::WriteFile(tmp("d.txt"), dict).c_str(), 0);
    EXPECT_EQ(Features("dup", ht), Ints{7}) << lines;
    std::vector<std::thread> threads;
    std::vector<int> found(4);
    for (int& f : found) threads.emplace_back([&f, ht] { f = MapWord2Ind("x y", ht); });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(found, Ints(4, lines == 147473 ? 3 : 4)) << lines;
    EXPECT_EQ(MapWord2Ind("dup_1", ht), 7) << lines;
    EXPECT_EQ(MapWord2Ind("w99999_2", ht), 9);
    EXPECT_EQ(MapWord2Ind("w99998_02", ht), 9);
    FreeFeats(ht);
  }
}

// A dictionary without unigrams: the index's ending table, sized for the
// unigrams, grows many times while its keys are counted, and every key is
// still placed at its ending.
TEST(Dictionary, BigramsAndTrigramsWithoutTheirUnigrams) {
  zdtest::TempDir tmp;
  std::string dict;
  for (int k = 0; k < 3000; k++) {
    const std::string w = "w" + std::to_string(k);
    dict += std::to_string(2 * k) + " a_1 " + w + "_2\n";
    dict += std::to_string(2 * k + 1) + " a_1 b_2 " + w + "_3\n";
  }
  DSTHashTable ht = LoadFeats(zdtest::WriteFile(tmp("d.txt"), dict).c_str(), 0);
  for (int k : {0, 1, 1234, 2999}) {
    const std::string w = "w" + std::to_string(k);
    EXPECT_EQ(Features("a " + w, ht), Ints{2 * k}) << k;
    EXPECT_EQ(Features("a b " + w, ht), Ints{2 * k + 1}) << k;
  }
  FreeFeats(ht);
}

TEST(Dictionary, LookupsGiveTheTablesAnswerForEveryNgramString) {
  zdtest::TempDir tmp;
  std::mt19937 rng(7);
  auto pick = [&](int n) { return static_cast<int>(rng() % static_cast<unsigned>(n)); };
  const std::vector<std::string> words = {"a",        "b_c",       "_",         "x_1",
                                          "12345678", "123456789", "123456780", "abcdefghij_k",
                                          "\r",       "\xc3\xa9", std::string(40, 'q'),
                                          std::string(40, 'q') + "r", "(x)!", "a#b+c*d&e",
                                          "\x01\x1f"};
  const char* const shapes[] = {"%s_%d", "%s_0%d", "%s_+%d", "%s__%d", "%s_%dx", "%s\t_%d",
                                "%s,_%d"};
  std::string dict;
  for (int k = 0; k < 60000; k++) {
    const int order = 1 + pick(3), last = 1 + pick(30);
    std::string key;
    for (int o = order - 1; o >= 0; o--) {
      char piece[128];
      const int pos = last - o + (pick(40) == 0 ? 1 : 0);  // sometimes out of step
      snprintf(piece, sizeof piece, pick(15) == 0 ? shapes[1 + pick(6)] : shapes[0],
               words[static_cast<size_t>(pick(static_cast<int>(words.size())))].c_str(), pos);
      key += piece;
      if (o > 0) key += pick(60) == 0 ? "  " : " ";
    }
    if (pick(80) == 0) key += ' ';
    dict += std::to_string(pick(5000)) + " " + key + "\n";
  }
  DSTHashTable ht = LoadFeats(zdtest::WriteFile(tmp("d.txt"), dict).c_str(), 0);
  const char delimiters[] = {' ', ' ', ' ', '\t', ',', '\n'};
  for (int n = 0; n < 3000; n++) {
    std::string line;
    for (int t = pick(40); t > 0; t--) {
      line += words[static_cast<size_t>(pick(static_cast<int>(words.size())))];
      for (int d = 1 + (pick(5) == 0); d > 0; d--) line += delimiters[pick(6)];
    }
    // Half the lines end in a token, not a delimiter.
    while (pick(2) == 0 && !line.empty() && strchr(" \t,\n", line.back())) line.pop_back();
    Ints expected;
    char buf[NgramCursor::kMaxString];
    NgramCursor cursor(line.c_str());
    NgramCursor::Position pos;
    while (cursor.next(buf, pos))
      for (int k = 0; k < pos.count; k++)
        if (int v = MapWord2Ind(pos.grams[k], ht); v >= 0) expected.push_back(v);
    ASSERT_EQ(Features(line, ht, 1000), expected) << line;
    const int capacity = pick(8);
    if (expected.size() > static_cast<size_t>(capacity)) expected.resize(static_cast<size_t>(capacity));
    ASSERT_EQ(Features(line, ht, capacity), expected) << line;
  }
  FreeFeats(ht);
}

// Loaded as the decoder loads it: the thread that waits in take() reads the
// end of a dictionary this big while the loading thread reads its start.
DSTHashTable LoadBesideAWaitingThread(const std::string& path) {
  FeatsLoad load(path);
  return load.take();
}

// About 2 MB of keys of every order, keys no line can form and keys given
// several times far apart.
std::string BigDictionary(int lines) {
  std::string dict;
  for (int k = 0; k < lines; k++) {
    const std::string w = "w" + std::to_string(k % 4000), v = "v" + std::to_string(k % 997);
    const int pos = 1 + k % 9;
    std::string key;
    switch (k % 5) {
      case 0: key = w + "_" + std::to_string(pos); break;
      case 1: key = v + "_" + std::to_string(pos) + " " + w + "_" + std::to_string(pos + 1); break;
      case 2: key = v + "_" + std::to_string(pos) + " a_" + std::to_string(pos + 1) + " " + w +
                    "_" + std::to_string(pos + 2); break;
      case 3: key = "dup" + std::to_string(k % 50) + "_1"; break;
      default: key = "free text " + w; break;
    }
    dict += std::to_string(k) + " " + key + "\n";
  }
  return dict;
}

TEST(DictionarySplit, ReadInTwoStretchesGivesTheSameAnswers) {
  zdtest::TempDir tmp;
  const std::string dict = BigDictionary(100000);
  const std::string path = zdtest::WriteFile(tmp("d.txt"), dict);
  DSTHashTable alone = LoadFeats(path.c_str(), 0);
  DSTHashTable split = LoadBesideAWaitingThread(path);
  for (int k = 0; k < 5000; k++) {
    const std::string line = "v" + std::to_string(k % 997) + " a w" + std::to_string(k) +
                             " dup" + std::to_string(k % 60) + " v" + std::to_string(k % 13) +
                             " w" + std::to_string(k * 7 % 4000);
    ASSERT_EQ(Features(line, split), Features(line, alone)) << line;
  }
  for (size_t at = 0; at < dict.size();) {
    const size_t key = dict.find(' ', at) + 1, end = dict.find('\n', at);
    const std::string text = dict.substr(key, end - key);
    ASSERT_EQ(MapWord2Ind(text.c_str(), split), MapWord2Ind(text.c_str(), alone)) << text;
    at = end + 1;
  }
  FreeFeats(alone);
  FreeFeats(split);
}

// The keys no line can form keep their place among the others when the end of
// the file is read apart: "x y" given again after the table's growth (past
// 147 472 entries) is found first, as a line-by-line load leaves it.
TEST(DictionarySplit, KeysGivenTwiceInBothStretches) {
  zdtest::TempDir tmp;
  std::string dict = "3 x y\n";
  for (int k = 1; k < 200000; k++)
    dict += k == 180000 ? "4 x y\n" : "9 w" + std::to_string(k) + "_2\n";
  const std::string path = zdtest::WriteFile(tmp("d.txt"), dict);
  DSTHashTable alone = LoadFeats(path.c_str(), 0), split = LoadBesideAWaitingThread(path);
  EXPECT_EQ(MapWord2Ind("x y", alone), 4);
  EXPECT_EQ(MapWord2Ind("x y", split), 4);
  EXPECT_EQ(MapWord2Ind("w199999_2", split), 9);
  FreeFeats(alone);
  FreeFeats(split);
}

// A pipe cannot be read at offsets: it is read from the front alone, in the
// pieces the writer's small writes deliver.
TEST(DictionarySplit, APipeIsReadWhole) {
  zdtest::TempDir tmp;
  const std::string path = tmp("fifo"), dict = BigDictionary(20000);
  ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
  std::thread writer([&] {
    std::ofstream out(path, std::ios::binary);
    for (size_t at = 0; at < dict.size(); at += 1000) out << dict.substr(at, 1000) << std::flush;
  });
  DSTHashTable ht = LoadBesideAWaitingThread(path);
  writer.join();
  EXPECT_EQ(MapWord2Ind("w0_1", ht), 0);
  EXPECT_EQ(MapWord2Ind("v1_2 w1_3", ht), 1);
  EXPECT_EQ(MapWord2Ind("w3995_7", ht), 19995);  // the last lines came through
  FreeFeats(ht);
}

TEST(DictionarySplit, TheFirstBadLineIsReportedWhereverItStands) {
  zdtest::TempDir tmp;
  const int lines = 60000;
  const std::string good = BigDictionary(lines);
  // The bad lines replace lines of the big dictionary, by their numbers.
  const std::vector<std::vector<int>> cases = {{lines - 1}, {lines / 2 + 3}, {lines / 3, lines - 5}, {7, lines - 2}};
  for (const auto& bad : cases) {
    std::string dict;
    int nl = 0;
    for (size_t at = 0; at < good.size(); nl++) {
      const size_t end = good.find('\n', at);
      const bool is_bad = std::find(bad.begin(), bad.end(), nl) != bad.end();
      dict += is_bad ? "5" : good.substr(at, end - at);
      if (nl + 1 < lines) dict += '\n';
      at = end + 1;
    }
    const std::string path = zdtest::WriteFile(tmp("bad.txt"), dict);
    try {
      FreeFeats(LoadBesideAWaitingThread(path));
      ADD_FAILURE() << "no error for line " << bad[0];
    } catch (const DictionaryError& e) {
      EXPECT_EQ(std::string(e.what()), "wrong number of columns at " + std::to_string(bad[0]) +
                                           " in " + path + " file\n\t Offending line: 5");
    }
  }
}

}  // namespace
