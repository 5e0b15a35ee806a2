// Typed parameters and the parsing of blocks.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "../test_support.h"
#include "ZDutil_parm.h"

namespace {

// "label: message" of the ZDError that `body` throws; empty when none.
template <class Body>
std::string ErrorOf(Body body) {
  try {
    body();
  } catch (const ZDError& e) {
    return e.what();
  }
  return "";
}

// The block of the blank-separated tokens `words`, as read from m.parm.
AnyParmList Block(const std::string& words, Mvec<string_t>& names) {
  Mvec<string_t> tokens;
  for (size_t at = 0, end; at < words.size(); at = end + 1) {
    end = std::min(words.find(' ', at), words.size());
    tokens.append(string_t(words.substr(at, end - at).c_str()));
  }
  AnyParmList block;
  block.load(tokens, "m.parm", names);
  return block;
}

// The pair, as a dump writes it, that `parm` prints after taking `pair`.
template <class P>
std::string Taken(P parm, const std::string& pair) {
  Mvec<string_t> names;
  if (!parm.init(Block("t n { " + pair + " }", names).pairs[0])) return "(not taken)";
  AnyParmList list;
  list.type = "t";
  parm.print(list, nullptr);
  string_t out;
  const std::string text = list.dump(out, false);  // "t  {  " pair " }\n"
  return text.substr(6, text.size() - 9);
}

TEST(TypedParmTest, ConvertsComparesAndPrints) {
  const parm_import_t c = PARM_EXPERT_INPUT;
  const std::pair<std::string, std::string> cases[] = {
      {Taken(ParmInt(1, "pow", c), "power = 5"), "(not taken)"},
      {Taken(ParmInt(1, "k", c), "k = 0x20"), "k=32"},
      {Taken(ParmInt(1, "k", c), "k = -7.5"), "k=-7"},
      {Taken(ParmFloat(0, "k", c), "k = 1e37"), "k=1e+37"},
      {Taken(ParmFloat(0, "k", c), "k = 0.33333333333333"), "k=0.3333333333"},
      {Taken(ParmString("", "k", c), "k = \"w1\""), "k=w1"},
      {Taken(ParmIntTable(5, "k", c), "k = { 3 , 0x10 }"), "k={3,16}"},
      {Taken(ParmFloatTable(1, "k", c), "k = 0.3"), "k={}"},
      {Taken(ParmStringTable(string_t("x"), "k", c), "k = { f0 , \"\" }"), "k={f0,\"\"}"},
      {ErrorOf([&] { Taken(ParmBool(0, "k", c), "k = True"); }),
       "ParmBool::init: Boolean value is True instead of true or false"},
      {ErrorOf([&] { Taken(ParmInt(0, "k", c), "k = { 1 }"); }),
       "ParmInt::init: Parameter k takes a single value, not a list"},
      {ErrorOf([&] { (void)(ParmIntTable(0, "a", c) == ParmIntTable(0, "d", c)); }),
       "ParmFloat::operator==: comparing with different keys a d"},
  };
  for (const auto& t : cases) EXPECT_EQ(t.first, t.second);
  EXPECT_FALSE(ParmFloat(NAN, "k", c) == ParmFloat(NAN, "k", c));
  EXPECT_FALSE(ParmString("", "k", c) == ParmString(nullptr, "k", c));
}

TEST(AnyParmListTest, ParsesBlocksAndReportsSyntaxErrors) {
  Mvec<string_t> names;
  string_t out;
  AnyParmList k = Block("kernel k { type = poly fields = { f0 , f1 } e = { } }", names);
  EXPECT_STREQ(k.dump(out, true), "kernel k { \n\t type=poly\n\t fields={f0,f1}\n\t e={} }\n");
  EXPECT_STREQ(Block("a b { k = { = , { } } #c", names).dump(out, false), "a b {  k={=,{} }\n");
  EXPECT_EQ(Block("kernel k2 { }", names).type, k.type);  // type names are shared
  EXPECT_EQ(names.size(), 2);

  const std::pair<std::string, std::string> cases[] = {
      {"a b", "Wrong line header"},
      {"kernel { type = poly }", "Found type instead of {"},
      {"a b { k v }", "After k: [v] found instead of [=]"},
      {"a b { k = { x y } }", "y found instead of ,"},
      {"a b { } z", "Found z instead of comment starting with #"},
      {"a b { k = { x ,", "Reached end of unclosed parameter list"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ErrorOf([&] { Block(c.first, names); }),
              "ParmList::load: " + c.second + "\nLINE: [" + c.first + " ]\nFILE: m.parm");
}

}  // namespace
