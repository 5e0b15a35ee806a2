// The model parameter vocabulary: classifier, kernel, field, vector and
// supervisor blocks, and the names that a load generates.
#include <gtest/gtest.h>

#include <string>
#include <thread>

#include "../test_support.h"
#include "ZDdata_parms.h"
#include "ZDmult_classnames.h"

namespace {

std::string DumpOf(const ParmList& list) {
  string_t out;
  return list.dump(out);
}

// A table read from `text`, as one load.
AnyParmListTable Table(const std::string& text) {
  zdtest::TempDir dir;
  AnyParmListTable table;
  table.load_parameter_table(zdtest::WriteFile(dir("t.parm"), text).c_str());
  return table;
}

template <class T>
T LoadOne(const std::string& text) {
  T list;
  list.load(Table(text).blocks[0]);
  return list;
}

TEST(VocabTest, ClassifierBlocks) {
  ClassifierParmListIO io = LoadOne<ClassifierParmListIO>(
      "classifier b { trivial = true weights = { 0.5, 2 } bias = -0.25 sigmoid = 0 binfile = w.bin"
      " kernels = { k0 } vecfile = { v.txt } }");
  const std::string kept_values =
      "\n\t trivial=true\n\t weights={0.5,2}\n\t sigmoid=0\n\t bias=-0.25\n\t binfile=w.bin }\n";
  EXPECT_EQ(DumpOf(io), "classifier b { \n\t kernels={k0}\n\t vecfile={v.txt}" + kept_values);
  ClassifierParmList kept = io;  // the loader list made from it has no kernels nor vector file
  EXPECT_EQ(DumpOf(ClassifierParmListIO(kept)),
            "classifier b { \n\t kernels={}\n\t vecfile={}" + kept_values);
  kept.set_nker(3);
  EXPECT_NE(DumpOf(kept).find("weights={0,0,0}"), std::string::npos);

  AnyParmListTable table =
      Table("classifier b { bias = 1 } kernel b { } classifier b { bias = 3 }");
  ClassifierParmListIO first, second;
  ASSERT_TRUE(steal_parm(table, first, "b") && steal_parm(table, second, "b"));
  EXPECT_EQ(second.bias.value, 3.0);
  EXPECT_FALSE(steal_parm(table, first, "b"));
}

TEST(VocabTest, KernelBlocks) {
  EXPECT_EQ(DumpOf(LoadOne<KerParmList>(
                "kernel k { restrict = 0 a = 2 b = 0.5 pow = 3 norm = true weights-sum-one = true "
                "weights = { 0.25 } fields = { f } learner = x parms = p type = exp }")),
            "kernel k { \n\t type=exp\n\t parms=p\n\t learner=x\n\t fields={f}\n\t "
            "weights={0.25}\n\t weights-sum-one=true\n\t norm=true\n\t pow=3\n\t b=0.5\n\t a=2\n\t "
            "restrict=0 }\n");
  KerParmList k;  // poly kernels of degree 1 and 2 become linear and quadratic ones
  EXPECT_EQ(zdtest::Captured(ZDEvent::warnfile,
                             [&] { k = LoadOne<KerParmList>("kernel k { pow = 1 a = 2 }"); }),
            "You should avoid a!=1 in linear kernels: tune c and d instead\n");
  EXPECT_STREQ(k.type.value.c_str(), "linear");
  EXPECT_STREQ(LoadOne<KerParmList>("kernel k { pow = 2 }").type.value.c_str(), "quadratic");
  EXPECT_STREQ(LoadOne<KerParmList>("kernel k { pow = 2 pow = 3 }").type.value.c_str(), "poly");
}

TEST(VocabTest, FirstUnknownKeyOfEachLoadIsReportedAndDescriptionsFollowThePrintOrder) {
  auto warnings = [](const AnyParmListTable& table) {
    Mvec<KerParmList> kernels;
    return zdtest::Captured(ZDEvent::warnfile, [&] { table.fetch_typed_parms(kernels); });
  };
  const std::string text = "kernel a { typo = 5 } kernel b { x = 1 }";
  const std::string warning =
      "Parameter [typo=5] does not exist in\nkernel a { \n\t type=poly\n\t parms={}\n\t "
      "learner=svm\n\t fields={}\n\t weights={}\n\t restrict=-1 }\n\n Wrong spelling or "
      "obsolete?\n";
  AnyParmListTable first = Table(text);
  EXPECT_EQ(warnings(first), warning);
  EXPECT_EQ(warnings(first), "");  // the same load again
  EXPECT_EQ(warnings(Table(text)), warning);

  Mvec<ParmDescription> descriptions;
  ClassifierParmListIO().build_description(descriptions);
  std::string keys;
  for (const ParmDescription& d : descriptions) keys += std::string(d.name) + " ";
  EXPECT_EQ(keys, "kernels vecfile trivial weights sigmoid bias binfile ");
  EXPECT_STREQ(descriptions[5].comment, "output add factor (1e37: not given)");
}

TEST(VocabTest, FieldBlocksAndNamesGeneratedPerLoad) {
  EXPECT_EQ(
      DumpOf(LoadOne<FieldParmList>("field f { nofirst = 2 stumps = { 3, 2 } protofile = p }")),
      "field f { \n\t protofile=p\n\t file={}\n\t transpose=true\n\t norm=false\n\t "
      "zlib=true\n\t type=bsparse\n\t stumps={3,2}\n\t nofirst=2 }\n");

  // Every load numbers its fields without protofile from 0, whatever runs beside it.
  auto names = [] {
    Mvec<FieldParmList> fields;
    Table("field a {} field b { protofile = mine } field c { zlib = false } field d {}")
        .fetch_typed_parms(fields);
    std::string all;
    for (const FieldParmList& f : fields) all += f.protofile.value.c_str() + std::string(" ");
    return all;
  };
  const std::string expected = "data0.gz mine data1 data2.gz ";
  std::string on_thread;
  std::thread other([&] {
    for (int i = 0; i < 50; i++) on_thread = names();
  });
  for (int i = 0; i < 50; i++) EXPECT_EQ(names(), expected);
  other.join();
  EXPECT_EQ(on_thread, expected);

  FieldParmList unit = LoadOne<FieldParmList>("field f { norm = true }");
  TableIdx empty;
  unit.normalize_samp(empty);
  EXPECT_FLOAT_EQ(empty.mult, 100000.0f);  // the squared norm is floored at 1e-10
}

TEST(VocabTest, VectorBlocks) {
  VecParmList v;
  std::string warning = zdtest::Captured(ZDEvent::warnfile, [&] {
    v = LoadOne<VecParmList>("vector v { type = supvec 12 = 0.5 x = 1 0x1f = -1 017 = 0.25 }");
  });
  EXPECT_EQ(warning.rfind("Parameter [x=1] does not exist in\nvector v { ", 0), 0u) << warning;
  ASSERT_EQ(v.values.size(), 3);     // integer keys are elements, in file order
  EXPECT_EQ(v.values[1].index, 31);  // 0x1f
  EXPECT_EQ(v.values[2].index, 15);  // 017
  EXPECT_EQ(DumpOf(v), "vector v { \n\t maxindex=0\n\t type=supvec\n\t field=0 }\n");
}

TEST(SupervisorTest, KindsDisplayNamesAndClassifierNamesPerLoad) {
  for (int load = 0; load < 2; load++) {
    AnyParmListTable table = Table(
        "supervisor s { p = sports } supervisor t { n = news p = arts clf = mine } "
        "supervisor u { ntrain = 3 } supervisor v { p = news }");
    MultiSuper super;
    ASSERT_TRUE(super.init_categs(table));
    Mvec<const char*> names;
    super.get_classifier_names(names);
    super.set_classifier_strings(names);
    std::string shown;
    for (int i = 0; i < 4; i++)
      shown += std::string(names[i]) + "=" + super.classifier_strings[i].c_str() + ":" +
               std::to_string(super.supervisors[i].label_kind) + " ";
    EXPECT_EQ(shown, "clf0=sports:2 mine=arts#news:1 clf1=:0 clf2=news:2 ");
    EXPECT_STREQ(super.categories[1].c_str(), "news");  // first mentioned by an n key
    EXPECT_EQ(table.count_type("supervisor"), 0);       // the blocks are taken
  }
}

}  // namespace
