// Regressions found by fuzzing and by the bad-input corpus: empty quoted
// tokens, folders given as files, damaged or unreadable streams, and the
// bound on stump levels.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "../test_support.h"
#include "ZDutil_sparse.h"
#include "ZDutil_sys.h"
#include "ZDutil_uhandler.h"

namespace {

using zdtest::DataError;
using zdtest::UserError;

// An empty quoted value is an empty token, even when nothing was read before
// it (no text buffer exists yet).
TEST(HardeningTest, EmptyQuotedValuesAreEmptyTokens) {
  ZDIO io;
  io.open_string("t n {\"\"\"\" k = \"\" }");
  Mvec<string_t> tokens;
  ASSERT_TRUE(ZDString::object2strings(io, tokens));
  std::vector<std::string> got;
  for (const string_t& t : tokens) got.emplace_back(t.c_str(), t.length());
  EXPECT_EQ(got, (std::vector<std::string>{"t", "n", "{", "", "", "k", "=", "", "}"}));
  io.clean_close();
}

// Offsets of the stump tables: the running sum of the levels, up to the limit.
TEST(HardeningTest, StumpLevelsUpToTheLimitMakeTables) {
  InputDataHandler h;
  h.datatype = FD_BSTUMP;
  Mvec<int> levels;
  levels.append(1 << 19);
  levels.append(1 << 19);
  h.update_stump(levels);
  ASSERT_EQ(h.offsets.size(), 3);
  EXPECT_EQ(h.offsets[1], 1 << 19);
  EXPECT_EQ(h.offsets[2], 1 << 20);
}

TEST(HardeningDeathTest, FoldersDamagedStreamsAndTooManyStumpLevelsEndTheProcess) {
  std::string dir = zdtest::MakeTempDir();
  std::string folder = dir + "sub";
  mkdir(folder.c_str(), 0755);
  // A gzip stream cut after its header and a few bytes of data.
  std::string whole = dir + "whole.gz";
  zdtest::WriteFile(whole, std::string(5000, 'a') + "\n", true);
  std::string cut = dir + "cut.gz";
  {
    FILE* in = fopen(whole.c_str(), "rb");
    char head[20];
    size_t n = fread(head, 1, sizeof head, in);
    fclose(in);
    zdtest::WriteFile(cut, std::string(head, n));
  }
  auto read_all = [](const std::string& path, bool gz) {
    ZDIO io;
    io.force_open(path.c_str(), "r", gz);
    string_t line;
    while (io.scanline(line)) {
    }
  };
  Mvec<int> too_many;
  too_many.append(1 << 20);
  too_many.append(1);
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] { read_all(folder, false); },
       UserError("ZDIO::force_open", "Cannot open " + folder + " for [r]\n")},
      {[&] { read_all(folder, true); },
       UserError("ZDIO::force_open", "Cannot open " + folder + " for [r]\n")},
      {[&] { read_all(cut, true); },
       UserError("ZDIO::scanline", "cannot read " + cut + ": unexpected end of file\n")},
      {[&] {
         ZDIO io;
         io.force_open(cut.c_str(), "r", true);
         while (io.read_char() != -1) {
         }
       },
       UserError("ZDIO::scanline", "cannot read " + cut + ": unexpected end of file\n")},
      {[&] { InputDataHandler().update_stump(too_many); },
       DataError("InputDataHandler::update_stump",
                 "stump bins ask for 1048577 levels, more than the 1048576 allowed\n")},
  };
  for (const auto& c : cases)
    EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), zdtest::Exact(c.second)) << c.second;
}

// Summing weight vectors (two weight sets of one field) whose indices are not
// in increasing order ends with a data error instead of writing out of bounds.
TEST(HardeningDeathTest, AddingUnorderedVectorsIsADataError) {
  TableValIdx sum, unordered;
  sum.append(ElemValIdx{3, 1.0f});
  for (int i : {9, 2, 5}) unordered.append(ElemValIdx{i, 1.0f});
  TableValIdx first;
  first.incr(unordered, 1.0);  // into an empty vector: a plain copy
  EXPECT_EQ(first.nitems, 3);
  EXPECT_EQ(first[0].index, 9);
  EXPECT_EXIT(sum.incr(unordered, 1.0), testing::ExitedWithCode(1),
              DataError("TableValIdx::incr",
                        "cannot add vectors whose indices are not in increasing order"));
}

}  // namespace
