// The reader of plain text vector files against the parameter-file parser:
// what it takes it reads exactly as the parser does, with the same traces
// and errors; what it leaves, the model load reads and reports as before.
#include <gtest/gtest.h>

#include <cfenv>
#include <cstring>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDdata_vecfile.h"
#include "Zanda_api.h"

namespace {

// What a read of a vector file left at verbose 3: its lists, what it traced
// and warned, its error; `taken` is false when the plain reader declined.
struct Reading {
  bool taken = true;
  Mvec<VecParmList> lists;
  std::string printed, error;
};

Reading Read(const std::string& path, bool plain) {
  Reading r;
  const int verbose = ZDEvent::verbose;
  FILE* const warnfile = ZDEvent::warnfile;
  ZDEvent::verbose = 3;
  r.printed = zdtest::Captured(ZDEvent::tracefile, [&] {
    ZDEvent::warnfile = ZDEvent::tracefile;
    try {
      if (plain) {
        ParmLoadState load;
        r.taken = read_plain_vector_file(path.c_str(), r.lists, &load);
      } else {
        AnyParmListTable table;
        table.load_parameter_table(path.c_str());
        table.fetch_typed_parms(r.lists);
      }
    } catch (const ZDError& e) {
      r.error = e.what();
    }
  });
  ZDEvent::warnfile = warnfile;
  ZDEvent::verbose = verbose;
  return r;
}

TEST(PlainVectorFileTest, ReadsWhatTheParserReadsAndLeavesTheRest) {
  const std::string kTaken[] = {
      "vector a { type = stump field = 2 maxindex = 9 binsize = 0 3 = -0.5 }\n"
      "vector a { 7 = 1 7 = 2 type = x type = restrict } vector b {}",
      "vector a {\r\n 5 = 1\r\n}\r\n",
      "\f\t vector\ta\v\n{\r1=2\f\f3 =4 2147483647= 0}  \n",  // \v is no space to the parser
      "vector a { 1 = 1e3 2 = -0 3 = 1. 4 = .5 5 = -.25E+2 6 = 3.4028235e38 7 = 3.40282356e38 "
      "8 = 1e-45 9 = 2.5e-310 10 = 0.1000000000000000055511151231257827021181583404541015625 "
      "11 = 123456789012345678901234567890e-20 12 = 0.0000000000000000000000001e+25 }",
      // Either side of 2^53 and of the exact powers of ten.
      "vector a { 1 = 9007199254740992 2 = 9007199254740993 3 = 1e22 4 = 1e23 5 = -1e-22 "
      "6 = 1e-23 7 = 0.1 8 = 1234567890123456789 9 = 1e0005 10 = 7E-010 11 = 3.3e-5 }",
      "vector a { 1 = 2 } vector b { field = abc }",  // the parser's conversion error
  };
  // Keys that strtol reads otherwise, values that strtod reads otherwise or
  // that round to an infinite float, other pairs, and other files.
  const char* const kLeftPairs[] = {"010 = 1",     "0x1f = 1",          "-3 = 1",
                                    "3x = 1",      "2147483648 = 1",    "1 = 3.40282357e38",
                                    "1 = 1e400",   "1 = 1e-400",        "1 = inf",
                                    "1 = nan",     "1 = 0x1p3",         "1 = +1",
                                    "1 = 1e",      "1 = abc",           "typo = 1",
                                    "# c\n 1 = 1", "type = \"weight\"", "1 = { 2 }",
                                    "1 = 2, 3"};
  std::vector<std::string> left = {"kernel k { } vector a { }",
                                   "x vector a { }",
                                   "vector a { } x",
                                   "vector a b { }",
                                   "vector a { 1 = 2",
                                   std::string("vector a { 1 = 2 }\0", 19),
                                   " \n"};
  for (const char* pair : kLeftPairs) left.push_back(std::string("vector a { ") + pair + " }");
  zdtest::TempDir dir;
  for (const std::string& text : kTaken) {
    SCOPED_TRACE(text);
    const std::string path = zdtest::WriteFile(dir("v.txt"), text);
    Reading fast = Read(path, true), parsed = Read(path, false);
    ASSERT_TRUE(fast.taken);
    EXPECT_EQ(fast.printed, parsed.printed);
    EXPECT_EQ(fast.error, parsed.error);
    if (!fast.error.empty()) continue;
    ASSERT_EQ(fast.lists.size(), parsed.lists.size());
    for (int k = 0; k < fast.lists.size(); k++) {
      const VecParmList &a = fast.lists[k], &b = parsed.lists[k];
      EXPECT_STREQ(a.refer_name.c_str(), b.refer_name.c_str());
      EXPECT_STREQ(a.type.value.c_str(), b.type.value.c_str());
      EXPECT_EQ(a.field.value, b.field.value);
      EXPECT_EQ(a.maxindex.value, b.maxindex.value);
      EXPECT_EQ(a.binsize.value, b.binsize.value);
      ASSERT_EQ(a.values.size(), b.values.size());
      EXPECT_TRUE(a.values.empty() ||
                  memcmp(a.values.data, b.values.data, sizeof(ElemValIdx) * a.values.size()) == 0);
    }
  }
  for (const std::string& text : left) {
    Reading fast = Read(zdtest::WriteFile(dir("v.txt"), text), true);
    EXPECT_FALSE(fast.taken) << text;
    EXPECT_EQ(fast.printed + fast.error, "") << text;
  }
}

TEST(PlainVectorFileTest, ReadsTheWritersShape) {
  zdtest::TempDir dir;
  const std::string path = zdtest::WriteFile(
      dir("v.txt"), "vector v {\n  type = weight\n  field = 1\n  0 = 2\n  7 = -1.9375\n}\n");
  Reading r = Read(path, true);
  ASSERT_TRUE(r.taken && r.lists.size() == 1);
  EXPECT_EQ(r.printed, path + ": loading values for 1 parameters\nfound 1 vector\n");
  const VecParmList& v = r.lists[0];
  EXPECT_STREQ(v.refer_name.c_str(), "v");
  EXPECT_EQ(v.get_vec_type(), VT_WEIGHT);
  EXPECT_EQ(v.field.value, 1);
  ASSERT_EQ(v.values.size(), 2);
  EXPECT_TRUE(v.values[0].index == 0 && v.values[0].value == 2.0f);
  EXPECT_TRUE(v.values[1].index == 7 && v.values[1].value == -1.9375f);

  fesetround(FE_UPWARD);  // strtod would round otherwise
  EXPECT_FALSE(Read(path, true).taken);
  fesetround(FE_TONEAREST);
  for (const std::string& other : {dir("missing.txt"), dir(""), std::string("STDIN")})
    EXPECT_FALSE(Read(other, true).taken) << other;
}

// The error of a model load whose classifier reads `vector_file`, or what
// the load traced at verbose 3.
std::string LoadModel(const std::string& vector_file) {
  zdtest::TempDir dir;
  zdtest::WriteFile(dir("zanda.parm"),
                    "field f0 { zlib = false }\n"
                    "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"
                    "classifier c0 { kernels = { k0 } vecfile = { v.txt } weights = { 1 } }\n");
  zdtest::WriteFile(dir("v.txt"), vector_file);
  const int verbose = ZDEvent::verbose;
  ZDEvent::verbose = 3;
  std::string error;
  std::string printed = zdtest::Captured(ZDEvent::tracefile, [&] {
    try {
      ZandaModelAPI().load_mdl_parms(dir("").c_str(), ZDEvent::tracefile);
    } catch (const ZDError& e) {
      error = e.what();
    }
  });
  ZDEvent::verbose = verbose;
  return error.empty() ? printed : error;
}

TEST(PlainVectorFileTest, ModelLoadsReportAsBefore) {
  EXPECT_NE(LoadModel("vector v { 1 = 0.5 3 = 2 }")
                .find("v.txt: loading values for 1 parameters\nfound 1 vector\n"
                      "c0: loaded a set of 2 support vectors\n"),
            std::string::npos);
  EXPECT_EQ(LoadModel("vector v { 5 = abc }"), "ZDString::atof: abc is not an double number");
  EXPECT_EQ(LoadModel("vector v { field = x }"), "ZDString::atol: x is not an integer number");
  EXPECT_EQ(LoadModel("vector v { 1 = 2"),
            "extract_block: Block [ 2] was opened with { and is not closed with }");
}

}  // namespace
