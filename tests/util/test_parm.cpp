// Typed parameters, block parsing, parameter tables and the ParmList base.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDutil_parm.h"

namespace {

using zdtest::DataError;
using zdtest::UserError;
const std::string kModelFile = std::string(TEST_DATA_DIR) + "/parm/model.parm";

KeyValue Single(const char* key, const char* value) {
  KeyValue kv;
  kv.key.init(key);
  kv.value.init(value);
  return kv;
}

KeyValue List(const char* key, const std::vector<const char*>& items) {
  KeyValue kv;
  kv.key.init(key);
  kv.value.init("");
  kv.is_list = true;
  for (const char* item : items) kv.items.append(string_t(item));
  return kv;
}

// Value text of the pair that `parm` prints; lists as {a|b}.
template <class P>
std::string Printed(const P& parm) {
  AnyParmList list;
  parm.print(list, nullptr);
  const KeyValue& kv = list.pairs[0];
  if (!kv.is_list) return kv.value.c_str();
  std::string text = "{";
  for (int k = 0; k < kv.items.size(); k++)
    text += (k ? "|" : "") + std::string(kv.items[k].c_str());
  return text + "}";
}

// What `parm` prints after taking `kv`.
template <class P>
std::string Init(P& parm, const KeyValue& kv) {
  return parm.init(kv) ? Printed(parm) : "(not taken)";
}

// Tokens of `words`, split at blanks.
Mvec<string_t> Tokens(const std::string& words) {
  Mvec<string_t> tokens;
  std::istringstream in(words);
  for (std::string w; in >> w;) tokens.append(string_t(w.c_str()));
  return tokens;
}

// The first block of `text`, parsed as if read from m.parm.
AnyParmList Parse(const std::string& text, Mvec<string_t>& names) {
  ZDIO io;
  io.open_string(text.c_str());
  Mvec<string_t> tokens;
  EXPECT_TRUE(ZDString::object2strings(io, tokens));
  io.clean_close();
  AnyParmList block;
  block.load(tokens, "m.parm", names);
  return block;
}

// A kernel-like list exercising every hook of ParmList.
class TestParmList : public ParmList {
 public:
  ParmString type{"poly", "type", PARM_BASIC_INPUT};
  ParmInt pow{1, "pow", PARM_EXPERT_INPUT};
  ParmFloat a{1.0, "a", PARM_EXPERT_INPUT};
  ParmBool norm{false, "norm", PARM_EXPERT_INPUT};
  ParmFloatTable w{0, "w", PARM_EXPERT_INPUT};
  ParmString binfile{"", "binfile", PARM_LIBRARY_NAME};
  ParmStringTable fields{string_t(), "fields", PARM_BASIC_INPUT};
  int prepro_calls = 0;
  char bin[3] = {0, 0, 0};  // bytes taken by load_bin_data

  TestParmList() : ParmList("kernel", "%s=", "kernel used by the tests") {}

  void special_prepro() override { prepro_calls++; }
  int load_bin_data(ZDIO& io) override {
    for (int k = 0; k < 2; k++) bin[k] = static_cast<char>(io.read_char());
    return 2;
  }
  void store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const override {
    const TestParmList fresh;
    store_parm(type, fresh.type, list, descriptions);
    store_parm(binfile, fresh.binfile, list, descriptions);
    store_parm(fields, fresh.fields, list, descriptions);
    store_parm(pow, fresh.pow, list, descriptions);
    store_parm(a, fresh.a, list, descriptions);
  }
  void init_parm(const KeyValue& pair) override {
    if (type.init(pair) || pow.init(pair) || a.init(pair) || norm.init(pair) || w.init(pair) ||
        binfile.init(pair) || fields.init(pair))
      return;
    warn_no_parm(pair);
  }
};

// Each parameter takes only its own key, converts the value and prints it
// back in its own form.
TEST(TypedParmTest, InitConvertsAndPrints) {
  ParmInt p(1, "pow", PARM_EXPERT_INPUT);
  EXPECT_EQ(Init(p, Single("power", "5")), "(not taken)");
  ParmBool b(false, "norm", PARM_BASIC_INPUT);
  ParmFloat f(0.1, "b", PARM_EXPERT_INPUT);
  ParmString s("", "binfile", PARM_LIBRARY_NAME);
  ParmIntTable ints(5, "stumps", PARM_TRACE_OUTPUT);
  ParmFloatTable floats(0.5, "weights", PARM_BASIC_INPUT);
  ParmStringTable strings(string_t("x"), "fields", PARM_BASIC_INPUT);
  EXPECT_EQ(Printed(ints), "{}");  // a table's default is not stored
  EXPECT_EQ(Printed(f), "0.1");
  const std::pair<std::string, std::string> cases[] = {
      {Init(p, Single("pow", "0x20")), "32"},
      {Init(p, Single("pow", "-7.5")), "-7"},
      {Init(b, Single("norm", "true")), "true"},
      {Init(f, Single("b", "1e37")), "1e+37"},
      {Init(f, Single("b", "0.33333333333333")), "0.3333333333"},
      {Init(s, Single("binfile", "\"w 1.bin\"")), "w 1.bin"},
      {Init(ints, List("stumps", {"3", "0x10", "-2"})), "{3|16|-2}"},
      {Init(floats, List("weights", {"0.25", "1e37"})), "{0.25|1e+37}"},
      {Init(floats, Single("weights", "0.3")), "{}"},
      {Init(strings, List("fields", {"f0", "\"\"", "\"f2\""})), "{f0|\"\"|f2}"},
  };
  for (const auto& c : cases) EXPECT_EQ(c.first, c.second);

  EXPECT_FALSE(ParmInt(3, "k", PARM_BASIC_INPUT) == ParmInt(4, "k", PARM_BASIC_INPUT));
  EXPECT_FALSE(ParmFloat(NAN, "k", PARM_BASIC_INPUT) == ParmFloat(NAN, "k", PARM_BASIC_INPUT));
  EXPECT_FALSE(ParmString("", "k", PARM_BASIC_INPUT) == ParmString(nullptr, "k", PARM_BASIC_INPUT));
  EXPECT_TRUE(ParmString(nullptr, "k", PARM_BASIC_INPUT) ==
              ParmString(nullptr, "k", PARM_BASIC_INPUT));
  ParmFloatTable t1(0, "w", PARM_BASIC_INPUT), t2(0, "w", PARM_BASIC_INPUT);
  t1.init(List("w", {"1", "2"}));
  t2.init(List("w", {"1"}));
  EXPECT_FALSE(t1 == t2);
  t2.init(List("w", {"1.0", "2.0"}));
  EXPECT_TRUE(t1 == t2);

  // Categories share one growing list, in order of first mention.
  Mvec<string_t> categs;
  ParmCateg pos(&categs, "p", PARM_BASIC_INPUT), neg(&categs, "n", PARM_EXPERT_INPUT);
  EXPECT_EQ(Printed(pos), "\"\"");
  EXPECT_TRUE(neg.init(Single("n", "sports")));
  EXPECT_TRUE(pos.init(Single("p", "news")));
  EXPECT_TRUE(neg.init(Single("n", "news")));
  EXPECT_EQ(categs.size(), 2);
  EXPECT_EQ(pos.index, 1);
  EXPECT_STREQ(neg.categ_name(), "news");
  pos = "sports";
  EXPECT_EQ(Printed(pos), "\"sports\"");
}

// Dumps show what was parsed, lists in braces.
TEST(AnyParmListTest, ParsesBlocksAndSharesTypeNames) {
  Mvec<string_t> names;
  const std::pair<std::string, std::string> cases[] = {
      {"kernel ker { type = poly fields = { f0 , f1 } }",
       "kernel ker {  type=poly fields={f0,f1} }\n"},
      {"a b { k = { x , { } } \"#c\" }", "a b {  k={x,{} }\n"},  // items are taken as they are
      {"field f { }", "field f {  }\n"},
  };
  for (const auto& c : cases) {
    string_t out;
    EXPECT_STREQ(Parse(c.first, names).dump(out, false), c.second.c_str());
  }
  AnyParmList k = Parse("kernel k2 { type = poly fields = { f0 , f1 } }", names);
  EXPECT_EQ(names.size(), 3);  // kernel, a, field
  EXPECT_EQ(k.type, names[0].c_str());
  string_t out;
  EXPECT_STREQ(k.dump(out, true), "kernel k2 { \n\t type=poly\n\t fields={f0,f1} }\n");
  k.clear();
  EXPECT_EQ(k.type, nullptr);
  k.load(Tokens("x y { k = { = , , } }"), nullptr, names);  // reused slots
  EXPECT_STREQ(k.dump(out, false), "x y {  k={=,,} }\n");
  // An empty list and an empty quoted value differ only by the flag.
  k = Parse("t n { w = { } w = \"\" }", names);
  EXPECT_TRUE(k.pairs[0].is_list);
  EXPECT_FALSE(k.pairs[1].is_list);
  EXPECT_STREQ(k.pairs[0].value.c_str(), "");
  EXPECT_STREQ(k.pairs[1].value.c_str(), "");
  EXPECT_EQ(k.pairs[0].items.size() + k.pairs[1].items.size(), 0);
}

TEST(AnyParmListTableTest, LoadsCountsTracesAndCopies) {
  AnyParmListTable* table = new AnyParmListTable;
  ZDEvent::verbose = 3;
  std::string traces = zdtest::Captured(ZDEvent::tracefile,
                                        [&] { table->load_parameter_table(kModelFile.c_str()); });
  ZDEvent::verbose = 1;
  EXPECT_EQ(traces, kModelFile + ": loading values for 4 parameters\n");
  ASSERT_EQ(table->blocks.size(), 4);
  EXPECT_EQ(table->type_names.size(), 3);
  EXPECT_EQ(table->count_type("kernel"), 2);
  string_t out;
  EXPECT_STREQ(table->blocks[3].dump(out, false),
               "classifier clf0 {  kernels={ker0,ker1} bias=-0.25 binfile=w 1.bin }\n");
  table->load_parameter_table("");  // nothing to read
  EXPECT_EQ(table->blocks.size(), 4);
  AnyParmListTable copy(*table), assigned;
  assigned = *table;
  table->blocks[0].clear();
  EXPECT_EQ(table->count_type("kernel"), 1);
  delete table;
  for (const AnyParmListTable* t : {&copy, &assigned}) {
    EXPECT_EQ(t->blocks[3].type, t->type_names[2].c_str());
    EXPECT_EQ(t->count_type("kernel"), 2);
  }
}

TEST(ParmListTest, LoadDumpAndFetchTypedParms) {
  Mvec<string_t> names;
  TestParmList list;
  EXPECT_STREQ(list.refer_name.c_str(), "foo");
  string_t out;
  EXPECT_STREQ(list.dump(out), "kernel foo { \n\t type=poly\n\t binfile={}\n\t fields={} }\n");
  list.load(Parse("kernel ker { pow = 2 type = exp pow = 3 a = 2 binfile = w.bin }", names));
  EXPECT_EQ(list.pow.value, 3);  // the last of a repeated key wins
  EXPECT_EQ(list.prepro_calls, 1);
  EXPECT_STREQ(list.dump(out),
               "kernel ker { \n\t type=exp\n\t binfile=w.bin\n\t fields={}\n\t pow=3\n\t a=2 }\n");

  AnyParmListTable table;
  table.load_parameter_table(kModelFile.c_str());
  Mvec<TestParmList> fetched(3);
  fetched[1].pow.value = 9;  // stale content of a reused slot
  fetched[1].prepro_calls = 5;
  ZDIO io;
  io.open_string("ABCD");
  ZDEvent::verbose = 3;
  std::string trace =
      zdtest::Captured(ZDEvent::tracefile, [&] { table.fetch_typed_parms(fetched, &io); });
  ZDEvent::verbose = 1;
  io.clean_close();
  EXPECT_EQ(trace, "found 2 kernel\n");
  ASSERT_EQ(fetched.size(), 2);
  EXPECT_STREQ(fetched[0].refer_name.c_str(), "ker0");
  EXPECT_EQ(fetched[0].pow.value, 2);
  EXPECT_STREQ(fetched[0].bin, "AB");
  EXPECT_STREQ(fetched[1].type.value.c_str(), "linear");
  EXPECT_EQ(fetched[1].pow.value, 1);
  EXPECT_EQ(fetched[1].prepro_calls, 1);
  EXPECT_STREQ(fetched[1].bin, "CD");
  EXPECT_EQ(table.count_type("kernel"), 2);  // blocks stay in the table
  table.fetch_typed_parms(fetched);          // no file: no binary part
  EXPECT_STREQ(fetched[1].bin, "");
}

TEST(ParmListDeathTest, OnlyTheFirstUnknownKeyIsReported) {
  EXPECT_EXIT(
      {
        ParmList::first_warn = true;
        Mvec<string_t> names;
        TestParmList list;
        TestParmList second;
        list.load(Parse("kernel k1 { typo = 5 pow = 2 other = 1 }", names));
        second.load(Parse("kernel k2 { third = { x } }", names));
        exit(list.pow.value == 2 && !ParmList::first_warn ? 0 : 2);
      },
      testing::ExitedWithCode(0),
      zdtest::Exact("Parameter [typo=5] does not exist in\nkernel k1 { \n\t type=poly\n\t "
                    "binfile={}\n\t fields={} }\n\n Wrong spelling or obsolete?\n"));
}

std::string ParseError(const std::string& message, const std::string& line,
                       const std::string& file = "m.parm") {
  return UserError("ParmList::load", message + "\nLINE: [" + line + "]\n" +
                                         (file.empty() ? "" : "FILE: " + file + "\n"));
}

TEST(ParmDeathTest, BadValuesAndBlocksEndTheProcess) {
  Mvec<string_t> names, categs;
  auto text = [&](const char* t) { return [&, t] { Parse(t, names); }; };
  auto tokens = [&](const std::string& words, const char* file) {
    return [&, words, file] { AnyParmList().load(Tokens(words), file, names); };
  };
  auto scalar_list = [](const char* label, const char* key) {
    return UserError(label,
                     "Parameter " + std::string(key) + " takes a single value, not a list\n");
  };
  const std::string dir = zdtest::MakeTempDir();
  zdtest::WriteFile(dir + "bad.parm", "a b { k = v }\nc d { k v }\n");
  const AnyParmList field = Parse("field f { a = 1 l = { x , y } }", names);
  AnyParmList cleared = Parse("kernel k { }", names);
  cleared.clear();
  TestParmList list;
  const std::string unclosed = "Reached end of unclosed parameter list";
  auto offer = [&](const KeyValue& kv) { return [&list, kv] { list.init_parm(kv); }; };
  std::vector<std::pair<std::function<void()>, std::string>> cases = {
      {offer(Single("norm", "True")),
       UserError("ParmBool::init", "Boolean value is True instead of true or false\n")},
      {offer(List("norm", {"true"})),
       UserError("ParmBool::init", "Boolean value is (null) instead of true or false\n")},
      {offer(Single("pow", "two")), DataError("ZDString::atol", "two is not an integer number\n")},
      {offer(List("w", {"1", "x"})), DataError("ZDString::atof", "x is not an double number\n")},
      {offer(Single("binfile", "\"a.gz")),
       DataError("ZDString::atos", "[\"a.gz] only uses quotes on one side")},
      {offer(List("pow", {"1"})), scalar_list("ParmInt::init", "pow")},
      {offer(List("a", {})), scalar_list("ParmFloat::init", "a")},
      {offer(List("type", {"a", "b"})), scalar_list("ParmString::init", "type")},
      {[&] { ParmCateg(&categs, "p", PARM_BASIC_INPUT).init(List("p", {"x"})); },
       scalar_list("ParmCateg::init", "p")},
      {tokens("a b", "m.parm"), ParseError("Wrong line header", "a b ")},
      {text("kernel { type = poly }"),
       ParseError("Found type instead of {", "kernel { type = poly } ")},
      {text("kernel { }"), ParseError(unclosed, "kernel { } ")},
      {text("a b { k v }"), ParseError("After k: [v] found instead of [=]", "a b { k v } ")},
      {text("a b { k = { x y } }"), ParseError("y found instead of ,", "a b { k = { x y } } ")},
      {text("a b { k = { x , { } } z }"),
       ParseError("Found z instead of comment starting with #", "a b { k = { x , { } } z } ")},
      {tokens("a b { k = v", nullptr), ParseError(unclosed, "a b { k = v ", "")},
      {[&] { AnyParmListTable().load_parameter_table((dir + "bad.parm").c_str()); },
       ParseError("After k: [v] found instead of [=]", "c d { k v } ", dir + "bad.parm")},
      {[&] { list.load(field); },
       UserError("ParmList::load", "wrong parameter type\nfield f { \n\t a=1\n\t l={x,y} }\n")},
      {[&] { list.load(cleared); },
       UserError("ParmList::load", "wrong parameter type\n(null)  {  }\n")},
      {[&] { list.get_val_table("x"); },
       UserError("ParmList::get_val_table", "Not defined yet: must be used in subclass")},
      {[&] { list.is_info(); },
       UserError("ParmList::is_info", "Not defined yet: must be used in subclass")},
  };
  // Every truncation of a block is an unclosed list.
  for (const char* cut : {"a b {", "a b { k", "a b { k =", "a b { k = {", "a b { k = { }",
                          "a b { k = { x", "a b { k = { x ,", "a b { k = { x }"})
    cases.push_back({tokens(cut, "m.parm"), ParseError(unclosed, std::string(cut) + " ")});
  for (const auto& c : cases)
    EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), zdtest::Exact(c.second)) << c.second;

  // Comparing parameters of different keys is an implementation error.
  EXPECT_EXIT((void)(ParmInt(1, "a", PARM_BASIC_INPUT) == ParmInt(1, "b", PARM_BASIC_INPUT)),
              testing::ExitedWithCode(1),
              zdtest::MemoryError("ParmInt::operator==", "comparing with different keys a b"));
  EXPECT_EXIT(
      (void)(ParmIntTable(0, "a", PARM_BASIC_INPUT) == ParmIntTable(0, "d", PARM_BASIC_INPUT)),
      testing::ExitedWithCode(1),
      zdtest::MemoryError("ParmFloat::operator==", "comparing with different keys a d"));
}

}  // namespace
