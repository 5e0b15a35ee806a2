// The model parameter vocabulary: classifier, kernel, field and vector
// blocks, binary vector records and the parameter container.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <functional>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDdata_kernel.h"
#include "ZDdata_parms.h"

namespace {

std::string DumpOf(const ParmList& list) {
  string_t out;
  return list.dump(out);
}

// "index:value " for every element.
std::string Elems(const TableValIdx& v) {
  std::string out;
  for (const ElemValIdx& e : v)
    out += std::to_string(e.index) + ":" + std::to_string(e.value) + " ";
  return out;
}

// Table of the blocks written in `text`, with base directory `dir`.
AnyParmListTable Parse(const std::string& text, const std::string& dir = zdtest::MakeTempDir()) {
  zdtest::WriteFile(dir + "t.parm", text);
  AnyParmListTable table;
  table.base_dir.init(dir.c_str());
  table.load_parameter_table((dir + "t.parm").c_str());
  return table;
}

// The first block of `text` loaded into a T.
template <class T>
T LoadOne(const std::string& text) {
  T list;
  list.load(Parse(text).blocks[0]);
  return list;
}

TEST(VocabTest, ClassifierBlocks) {
  ClassifierParmListIO io = LoadOne<ClassifierParmListIO>(
      "classifier b { trivial = true weights = { 0.5, 2 } bias = -0.25 sigmoid = 0 binfile = w.bin"
      " kernels = { k0 } vecfile = { v.txt } }");
  EXPECT_EQ(io.get_nker(), 2);
  EXPECT_EQ(DumpOf(io),
            "classifier b { \n\t kernels={k0}\n\t vecfile={v.txt}\n\t trivial=true\n\t "
            "weights={0.5,2}\n\t sigmoid=0\n\t bias=-0.25\n\t binfile=w.bin }\n");
  // Built from the kept list, the loader list has no kernels and no vector file.
  ClassifierParmList kept;
  kept = io;
  ClassifierParmListIO again(kept);
  EXPECT_EQ(again.kernels.values.size() + again.vecfile.values.size(), 0);
  EXPECT_EQ(again.get_nker(), 2);
  EXPECT_EQ(again.bias.value, -0.25);
  EXPECT_STREQ(again.binfile.value.c_str(), "w.bin");
  kept.set_nker(2);  // a matching count keeps the weights, another zeroes them
  EXPECT_EQ(kept.weights.values[1], 2.0);
  kept.set_nker(3);
  for (double w : kept.weights.values) EXPECT_EQ(w, 0.0);
  EXPECT_EQ(kept.get_nker(), 3);

  // Classifier blocks are taken by name one at a time; other types are skipped.
  AnyParmListTable table;
  table.load_parameter_table(TEST_DATA_DIR "/vocab/classifiers.parm");
  ClassifierParmListIO first, second, none;
  ASSERT_TRUE(steal_parm(table, first, "b"));
  EXPECT_EQ(first.bias.value, -0.25);
  EXPECT_EQ(table.blocks[1].type, nullptr);
  ASSERT_TRUE(steal_parm(table, second, "b"));
  EXPECT_EQ(second.bias.value, 3.0);
  EXPECT_STREQ(table.blocks[2].type, "kernel");
  EXPECT_FALSE(steal_parm(table, none, "b"));
  EXPECT_FALSE(steal_parm(table, none, nullptr));
  EXPECT_STREQ(none.refer_name.c_str(), "foo");
}

TEST(VocabTest, KernelDumpsAndPolyDegreesOneAndTwoRewritten) {
  EXPECT_EQ(DumpOf(LoadOne<KerParmList>(
                "kernel k { restrict = 0 a = 2 b = 0.5 pow = 3 norm = true weights-sum-one = true "
                "weights = { 0.25 } fields = { f } learner = x parms = p type = exp }")),
            "kernel k { \n\t type=exp\n\t parms=p\n\t learner=x\n\t fields={f}\n\t "
            "weights={0.25}\n\t weights-sum-one=true\n\t norm=true\n\t pow=3\n\t b=0.5\n\t a=2\n\t "
            "restrict=0 }\n");
  const std::string avoid = "You should avoid a!=1 in ";
  const struct {
    const char* body;
    const char* type;
    int code;
    std::string warning;
  } cases[] = {
      {"type = poly pow = 1", "linear", KT_LINEAR, ""},
      {"type = poly pow = 1 a = 2.0", "linear", KT_LINEAR,
       avoid + "linear kernels: tune c and d instead\n"},
      {"pow = 2 a = 0.5", "quadratic", KT_QUADRATIC,
       avoid + "quadratic kernels: tune c and d instead\n"},
      {"pow = 3 a = 2", "poly", KT_POLY, ""},
      {"type = linear a = 2", "linear", KT_LINEAR, ""},
      {"type = quadratic pow = 5 a = 2", "quadratic", KT_QUADRATIC, ""},
      {"type = exp pow = 2 a = 2", "exp", KT_EXP, ""},
  };
  for (const auto& c : cases) {
    KerParmList k;
    EXPECT_EQ(zdtest::Captured(
                  ZDEvent::warnfile,
                  [&] { k = LoadOne<KerParmList>(std::string("kernel k { ") + c.body + " }"); }),
              c.warning)
        << c.body;
    EXPECT_STREQ(k.type.value.c_str(), c.type) << c.body;
    EXPECT_EQ(k.get_kernel_type(), c.code) << c.body;
  }
}

TEST(VocabTest, FieldBlocks) {
  const char* types[] = {"bsparse", "sparse", "continuous", "bstump"};  // data type codes 0..3
  for (int code = 0; code < 4; code++)
    EXPECT_EQ(LoadOne<FieldParmList>(std::string("field f { type = ") + types[code] + " }")
                  .handler.datatype,
              code);
  FieldParmList f =
      LoadOne<FieldParmList>("field f0 { nofirst = 2 stumps = { 3, 2 } protofile = p.gz }");
  EXPECT_EQ(DumpOf(f),
            "field f0 { \n\t protofile=p.gz\n\t file={}\n\t transpose=true\n\t norm=false\n\t "
            "zlib=true\n\t type=bsparse\n\t stumps={3,2}\n\t nofirst=2 }\n");

  // Fields without "protofile" are numbered across the whole process.
  AnyParmListTable table = Parse(
      "field a {} field b { zlib = true } field d { protofile = mine.txt } field e { zlib = false "
      "}");
  int first = FieldParmList::protofile_count;
  Mvec<FieldParmList> fields;
  table.fetch_typed_parms(fields);
  auto name = [](int n, const char* ext) { return "data" + std::to_string(n) + ext; };
  EXPECT_EQ(fields[0].protofile.value.c_str(), name(first, ".gz"));
  EXPECT_EQ(fields[1].protofile.value.c_str(), name(first + 1, ".gz"));
  EXPECT_STREQ(fields[2].protofile.value.c_str(), "mine.txt");
  EXPECT_EQ(fields[3].protofile.value.c_str(), name(first + 2, ""));

  // Multiplier and squared norm of a sample, with and without "norm".
  FieldParmList plain, unit = LoadOne<FieldParmList>("field f { norm = true protofile = p }");
  TableIdx four, empty;
  for (int i : {2, 5, 7, 9}) four.append(ElemIdx{i});
  const struct {
    const FieldParmList& field;
    TableIdx& sample;
    float mult, sqnorm;
  } norms[] = {{unit, four, 0.5f, 1.0f},
               {plain, four, 1.0f, 4.0f},
               {unit, empty, 100000.0f, 1.0f},
               {plain, empty, 1.0f, static_cast<float>(1e-10)}};
  for (const auto& n : norms) {
    n.field.normalize_samp(n.sample);
    EXPECT_FLOAT_EQ(n.sample.mult, n.mult);
    EXPECT_EQ(n.sample.sqnorm, n.sqnorm);
  }
}

TEST(VocabTest, VectorBlocksAndLittleEndianRecords) {
  VecParmList v;
  ParmList::first_warn = true;
  std::string warning = zdtest::Captured(ZDEvent::warnfile, [&] {
    v = LoadOne<VecParmList>(
        "vector v { type = supvec 12 = 0.5 x = 1 field = 2 0x1f = -1 017 = 2.5e-1 maxindex = 40 }");
  });
  EXPECT_EQ(warning.rfind("Parameter [x=1] does not exist in\nvector v { ", 0), 0u) << warning;
  EXPECT_EQ(Elems(v.values), "12:0.500000 31:-1.000000 15:0.250000 ");  // integer keys, file order
  v.binsize.value = 3;
  EXPECT_EQ(DumpOf(v), "vector v { \n\t maxindex=40\n\t binsize=3\n\t type=supvec\n\t field=2 }\n");
  const char* types[] = {"weight", "stump", "supvec", "restrict"};  // vector type codes 0..3
  for (int code = 0; code < 4; code++)
    EXPECT_EQ(
        LoadOne<VecParmList>(std::string("vector v { type = ") + types[code] + " }").get_vec_type(),
        code);
  // 0.75f = 0x3f400000, -1.5f = 0xbfc00000, 2.0f = 0x40000000; trailing bytes are never read.
  std::string dir = zdtest::MakeTempDir();
  zdtest::WriteFile(dir + "w.bin", std::string("\x03\x00\x00\x00\x00\x00\x40\x3f"
                                               "\x0a\x00\x00\x00\x00\x00\xc0\xbf"
                                               "\x04\x03\x02\x01\x00\x00\x00\x40"
                                               "\xfe\xff\xff\xff\x00\x00\xc0\xbf\x01\x02",
                                               34));
  AnyParmListTable table = Parse(
      "vector v0 { binsize = 2 0 = 9 1 = 9 2 = 9 }\nvector v1 { binsize = 0 4 = 100 }\n"
      "vector v2 { binsize = 2 }\n",
      dir);
  ZDIO io;
  io.force_open((dir + "w.bin").c_str(), "r", false);
  Mvec<VecParmList> sets;
  table.fetch_typed_parms(sets, &io);
  io.clean_close();
  ASSERT_EQ(sets.size(), 3);
  EXPECT_EQ(Elems(sets[0].values), "3:0.750000 10:-1.500000 ");
  EXPECT_EQ(Elems(sets[1].values), "");
  EXPECT_EQ(Elems(sets[2].values), "16909060:2.000000 -2:-1.500000 ");  // 0x01020304
}

TEST(VocabTest, InitParametersLoadsFieldsThenKernels) {
  AnyParmListTable table;
  table.load_parameter_table(TEST_DATA_DIR "/vocab/model.parm");
  int first = FieldParmList::protofile_count;
  ModelParmCont cont;
  ZDEvent::verbose = 3;
  std::string traces = zdtest::Captured(ZDEvent::tracefile, [&] { cont.init_parameters(table); });
  ZDEvent::verbose = 1;
  size_t fields_at = traces.find("found 2 field\n");
  ASSERT_NE(fields_at, std::string::npos) << traces;
  EXPECT_NE(traces.find("found 2 kernel\n", fields_at), std::string::npos) << traces;
  ASSERT_EQ(cont.field_parms.size(), 2);
  EXPECT_EQ(cont.field_parms[0].protofile.value.c_str(), "data" + std::to_string(first) + ".gz");
  EXPECT_TRUE(cont.field_parms[1].norm.value);
  ASSERT_EQ(cont.kernels.size(), 2);
  EXPECT_STREQ(cont.kernels[1].refer_name.c_str(), "k1");
  EXPECT_EQ(cont.kernels[0].get_kernel_type(), KT_LINEAR);  // poly of degree 1
  // The field check ran: k1's single weight 0.5 is compiled to 1 on field 1.
  EXPECT_EQ(cont.kernels[1].field_wts[0], 0.0);
  EXPECT_EQ(cont.kernels[1].field_wts[1], 1.0);
  EXPECT_EQ(table.blocks.size(), 5);  // the table is left as it was
}

TEST(VocabDeathTest, BadBlocksAndBinaryFilesEndTheProcess) {
  const std::string dir = zdtest::MakeTempDir(), path = dir + "short.bin";
  zdtest::WriteFile(path, zdtest::Records({{1, 1.0f}}) + "\x05\x00\x00");
  auto load_bin = [&](const char* block) {
    return [&, block] {
      VecParmList v = LoadOne<VecParmList>(block);
      ZDIO io;
      io.force_open(path.c_str(), "r", false);
      v.load_bin_data(io);
    };
  };
  auto short_bin = [](const std::string& file, const char* read, const char* binsize,
                      const char* name) {
    return zdtest::DataError("VecParmList::load_bin_data",
                             "binary vector file [" + file + "] ends after " + read + " of the " +
                                 binsize + " records of vector " + name + "\n");
  };
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[] { LoadOne<KerParmList>("kernel k { type = rbf pow = 2 }"); },
       zdtest::UserError("KerParmList::get_kernel_type",
                         "unknown kernel type [rbf]\nkernel k { \n\t type=rbf\n\t parms={}\n\t "
                         "learner=svm\n\t fields={}\n\t weights={}\n\t pow=2\n\t restrict=-1 }\n")},
      {[] { LoadOne<FieldParmList>("field f { type = dense }"); },
       zdtest::UserError("FieldParmList::get_datatype", "unknown prepro type [dense]")},
      {[] { LoadOne<VecParmList>("vector v { type = dense }").get_vec_type(); },
       zdtest::UserError("VecParmList::get_vec_type",
                         "unknown vec type [dense]\nvector v { \n\t maxindex=0\n\t type=dense\n\t "
                         "field=0 }\n")},
      {[] { LoadOne<VecParmList>("vector w { 99999999999 = 1 }"); },
       zdtest::DataError("VecParmList::init_parm",
                         "index 99999999999 of vector w is out of range\n")},
      {load_bin("vector v { binsize = 2 }"), short_bin(path, "1", "2", "v")},
      // Refused before anything is allocated for it.
      {load_bin("vector big { binsize = 2000000000 }"), short_bin(path, "1", "2000000000", "big")},
      {load_bin("vector neg { binsize = -1 }"),
       zdtest::UserError("VecParmList::load_bin_data", "negative binsize -1 in vector neg\n")},
      // A stream that cannot be measured fails on the short read.
      {[] {
         VecParmList v = LoadOne<VecParmList>("vector v { binsize = 3 }");
         int fds[2];
         if (pipe(fds) != 0) exit(2);
         std::string bytes = zdtest::Records({{7, 1.0f}, {8, 1.0f}});
         if (write(fds[1], bytes.data(), bytes.size()) != 16) exit(2);
         close(fds[1]);
         ZDIO io;
         io.stream = fdopen(fds[0], "r");
         v.load_bin_data(io);
       },
       short_bin("", "2", "3", "v")},
  };
  for (const auto& c : cases)
    EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), zdtest::Exact(c.second)) << c.second;
}

}  // namespace
