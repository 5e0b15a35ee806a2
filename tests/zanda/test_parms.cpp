#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "ZDdata_kernel.h"
#include "ZDdata_parms.h"

namespace {

const char kUserLine[] = "Please verify first your input model and your data\n";
const char kDataLine[] = "Data Error: Please check your data!\n";

// Regex that matches exactly `text`.
std::string Exact(const std::string& text) {
  std::string re = "^";
  for (char c : text) {
    if (std::string(".[]{}()\\*+?^$|").find(c) != std::string::npos) re += '\\';
    re += c;
  }
  return re + "$";
}

std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "zdvocabXXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  if (!mkdtemp(buf.data())) return "";
  return std::string(buf.data()) + "/";
}

void WriteFile(const std::string& path, const std::string& bytes) {
  FILE* f = fopen(path.c_str(), "wb");
  ASSERT_NE(f, nullptr);
  ASSERT_EQ(fwrite(bytes.data(), 1, bytes.size(), f), bytes.size());
  fclose(f);
}

std::string DumpOf(const ParmList& list) {
  string_t out;
  return list.dump(out);
}

// "index:value " for every element, values in %g.
std::string Elems(const TableValIdx& v) {
  std::string out;
  char buf[64];
  for (const ElemValIdx& e : v) {
    snprintf(buf, sizeof buf, "%d:%g ", e.index, e.value);
    out += buf;
  }
  return out;
}

// Restores the process-wide state that the tests change.
class VocabTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
    ParmList::first_warn = true;
  }
  void TearDown() override {
    ZDEvent::verbose = 1;
    ZDEvent::tracefile = stdout;
    ParmList::first_warn = true;
  }

  // Table of the blocks written in `text`.
  AnyParmListTable Parse(const std::string& text) {
    std::string path = dir_ + "t" + std::to_string(files_++) + ".parm";
    WriteFile(path, text);
    AnyParmListTable table;
    table.load_parameter_table(path.c_str());
    return table;
  }

  // The first block of `text` loaded into a T.
  template <class T>
  T LoadOne(const std::string& text) {
    AnyParmListTable table = Parse(text);
    T list;
    list.load(table.blocks[0]);
    return list;
  }

  std::string dir_;
  int files_ = 0;
};

// ------------------------------------------------------------------ classifier

TEST_F(VocabTest, ClassifierDefaultsAreAllPrintedInOrder) {
  ClassifierParmList c;
  EXPECT_EQ(c.get_nker(), 0);
  EXPECT_EQ(DumpOf(c),
            "classifier foo { \n\t trivial=false\n\t weights={}\n\t sigmoid=1\n\t bias=1e+37\n\t "
            "binfile={} }\n");
}

TEST_F(VocabTest, ClassifierIOReadsEveryKeyAndDumpsKernelsFirst) {
  AnyParmListTable table = Parse(
      "classifier b { trivial = true weights = { 0.5, 2 } bias = -0.25 sigmoid = 0 binfile = w.bin"
      " kernels = { k0 } vecfile = { v.txt } }");
  ClassifierParmListIO io;
  io.load(table.blocks[0]);
  EXPECT_TRUE(io.trivial.value);
  EXPECT_EQ(io.get_nker(), 2);
  EXPECT_EQ(io.weights.values[1], 2.0);
  EXPECT_EQ(io.bias.value, -0.25);
  EXPECT_EQ(io.sigmoid.value, 0);
  EXPECT_STREQ(io.binfile.value.c_str(), "w.bin");
  EXPECT_EQ(DumpOf(io),
            "classifier b { \n\t kernels={k0}\n\t vecfile={v.txt}\n\t trivial=true\n\t "
            "weights={0.5,2}\n\t sigmoid=0\n\t bias=-0.25\n\t binfile=w.bin }\n");

  // Built from the kept list, the loader list has no kernels and no vector file.
  ClassifierParmList kept;
  kept = io;
  ClassifierParmListIO again(kept);
  EXPECT_STREQ(again.refer_name.c_str(), "b");
  EXPECT_EQ(again.get_nker(), 2);
  EXPECT_EQ(again.bias.value, -0.25);
  EXPECT_STREQ(again.binfile.value.c_str(), "w.bin");
  EXPECT_EQ(again.kernels.values.size(), 0);
  EXPECT_EQ(again.vecfile.values.size(), 0);
}

TEST_F(VocabTest, OnlyTheFirstUnknownKeyIsReported) {
  testing::internal::CaptureStderr();
  ClassifierParmList c = LoadOne<ClassifierParmList>(
      "classifier c { bias = 2 colour = red sigmoid = 3 shape = round }");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Parameter [colour=red] does not exist in\nclassifier c { \n\t trivial=false\n\t "
            "weights={}\n\t sigmoid=1\n\t bias=2\n\t binfile={} }\n\n Wrong spelling or "
            "obsolete?\n");
  EXPECT_EQ(c.sigmoid.value, 3);
  EXPECT_FALSE(ParmList::first_warn);
}

TEST_F(VocabTest, SetNkerKeepsMatchingCountAndZeroesOtherwise) {
  ClassifierParmList c = LoadOne<ClassifierParmList>("classifier c { weights = { 0.3, 0.7 } }");
  c.set_nker(2);
  ASSERT_EQ(c.get_nker(), 2);
  EXPECT_EQ(c.weights.values[0], 0.3);
  EXPECT_EQ(c.weights.values[1], 0.7);
  c.set_nker(3);
  ASSERT_EQ(c.get_nker(), 3);
  for (double w : c.weights.values) EXPECT_EQ(w, 0.0);
  ClassifierParmList empty;
  empty.set_nker(1);
  ASSERT_EQ(empty.get_nker(), 1);
  EXPECT_EQ(empty.weights.values[0], 0.0);
}

TEST_F(VocabTest, StealParmTakesClassifierBlocksByNameOneAtATime) {
  AnyParmListTable table;
  table.load_parameter_table(TEST_DATA_DIR "/vocab/classifiers.parm");
  ASSERT_EQ(table.blocks.size(), 4);
  ClassifierParmListIO io;
  ASSERT_TRUE(steal_parm(table, io, "b"));
  EXPECT_EQ(io.bias.value, -0.25);
  EXPECT_STREQ(io.kernels.values[0].c_str(), "k0");
  EXPECT_EQ(table.blocks[1].type, nullptr);
  EXPECT_EQ(table.blocks[1].pairs.size(), 0);

  ClassifierParmListIO second;
  ASSERT_TRUE(steal_parm(table, second, "b"));  // the kernel block named b is skipped
  EXPECT_EQ(second.bias.value, 3.0);
  EXPECT_STREQ(table.blocks[2].type, "kernel");
  EXPECT_EQ(table.blocks[3].type, nullptr);

  ClassifierParmListIO none;
  EXPECT_FALSE(steal_parm(table, none, "b"));
  EXPECT_FALSE(steal_parm(table, none, "zz"));
  EXPECT_FALSE(steal_parm(table, none, nullptr));
  EXPECT_STREQ(none.refer_name.c_str(), "foo");
  EXPECT_STREQ(table.blocks[0].refer_name.c_str(), "a");
}

// ---------------------------------------------------------------------- kernel

TEST_F(VocabTest, KernelDumpHidesExpertInputAtDefault) {
  KerParmList k;
  EXPECT_EQ(DumpOf(k),
            "kernel foo { \n\t type=poly\n\t parms={}\n\t learner=svm\n\t fields={}\n\t "
            "weights={}\n\t restrict=-1 }\n");
  KerParmList changed = LoadOne<KerParmList>(
      "kernel k { restrict = 0 a = 2 b = 0.5 pow = 3 norm = true weights-sum-one = true "
      "weights = { 0.25 } fields = { f } learner = x parms = p type = exp }");
  EXPECT_EQ(changed.get_kernel_type(), KT_EXP);
  EXPECT_EQ(DumpOf(changed),
            "kernel k { \n\t type=exp\n\t parms=p\n\t learner=x\n\t fields={f}\n\t "
            "weights={0.25}\n\t weights-sum-one=true\n\t norm=true\n\t pow=3\n\t b=0.5\n\t a=2\n\t "
            "restrict=0 }\n");
}

TEST_F(VocabTest, StoreWithDescriptionsPrintsEveryKeyWithItsComment) {
  ClassifierParmListIO io;
  Mvec<ParmDescription> descr;
  io.build_description(descr);
  AnyParmList list;
  io.store(list, &descr);
  std::string keys;
  for (const KeyValue& kv : list.pairs) {
    keys += std::string(kv.key.c_str()) + " ";
    EXPECT_NE(kv.comment, nullptr) << kv.key.c_str();
  }
  EXPECT_EQ(keys, "kernels vecfile trivial weights sigmoid bias binfile ");
  KerParmList k;
  descr.set_nitems(0);
  k.build_description(descr);
  list.pairs.set_nitems(0);
  k.store(list, &descr);
  ASSERT_EQ(list.pairs.size(), 11);  // expert keys at their defaults too
  EXPECT_STREQ(list.pairs[7].key.c_str(), "pow");
  EXPECT_STREQ(list.pairs[7].comment, "degree of the polynomial kernel");
}

TEST_F(VocabTest, PolyKernelsOfDegreeOneAndTwoAreRewritten) {
  struct Case {
    const char* body;
    const char* type;
    int code;
    const char* warning;
  };
  const Case cases[] = {
      {"type = poly pow = 1", "linear", KT_LINEAR, ""},
      {"type = poly pow = 1 a = 2.0", "linear", KT_LINEAR,
       "You should avoid a!=1 in linear kernels: tune c and d instead\n"},
      {"pow = 2", "quadratic", KT_QUADRATIC, ""},
      {"pow = 2 a = 0.5", "quadratic", KT_QUADRATIC,
       "You should avoid a!=1 in quadratic kernels: tune c and d instead\n"},
      {"pow = 3 a = 2", "poly", KT_POLY, ""},
      {"type = linear a = 2", "linear", KT_LINEAR, ""},
      {"type = quadratic pow = 5 a = 2", "quadratic", KT_QUADRATIC, ""},
      {"type = exp pow = 2 a = 2", "exp", KT_EXP, ""},
  };
  for (const Case& c : cases) {
    testing::internal::CaptureStderr();
    KerParmList k = LoadOne<KerParmList>(std::string("kernel k { ") + c.body + " }");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), c.warning) << c.body;
    EXPECT_STREQ(k.type.value.c_str(), c.type) << c.body;
    EXPECT_EQ(k.get_kernel_type(), c.code) << c.body;
  }
}

TEST_F(VocabTest, UnknownKernelTypeEndsLoadingWithTheDump) {
  AnyParmListTable table = Parse("kernel k { type = rbf pow = 2 }");
  KerParmList k;
  EXPECT_EXIT(k.load(table.blocks[0]), testing::ExitedWithCode(1),
              Exact(std::string("KerParmList::get_kernel_type: unknown kernel type [rbf]\nkernel "
                                "k { \n\t type=rbf\n\t parms={}\n\t learner=svm\n\t fields={}\n\t "
                                "weights={}\n\t pow=2\n\t restrict=-1 }\n\n") +
                    kUserLine));
}

// ----------------------------------------------------------------------- field

TEST_F(VocabTest, FieldDataTypesStumpsAndDump) {
  const char* names[] = {"bsparse", "sparse", "continuous", "bstump"};
  for (int code = 0; code < 4; code++) {
    FieldParmList f =
        LoadOne<FieldParmList>(std::string("field f { protofile = p type = ") + names[code] + " }");
    EXPECT_EQ(f.datatype, code);
    EXPECT_EQ(f.handler.datatype, code);
  }
  FieldParmList f =
      LoadOne<FieldParmList>("field f0 { nofirst = 2 stumps = { 3, 2 } protofile = p.gz }");
  ASSERT_EQ(f.handler.ranges.size(), 2);
  EXPECT_EQ(f.handler.ranges[0], 3);
  EXPECT_EQ(f.handler.ranges[1], 2);
  ASSERT_EQ(f.handler.offsets.size(), 3);
  EXPECT_EQ(f.handler.offsets[2], 5);
  EXPECT_EQ(DumpOf(f),
            "field f0 { \n\t protofile=p.gz\n\t file={}\n\t transpose=true\n\t norm=false\n\t "
            "zlib=true\n\t type=bsparse\n\t stumps={3,2}\n\t nofirst=2 }\n");
}

TEST_F(VocabTest, UnknownDataTypeEndsLoading) {
  AnyParmListTable table = Parse("field f { type = dense }");
  FieldParmList f;
  EXPECT_EXIT(
      f.load(table.blocks[0]), testing::ExitedWithCode(1),
      Exact(std::string("FieldParmList::get_datatype: unknown prepro type [dense]\n") + kUserLine));
}

TEST_F(VocabTest, ProtofileNamesAreNumberedAcrossAllFields) {
  AnyParmListTable table = Parse(
      "field a {} field b { zlib = true } field c {} field d { protofile = mine.txt }\n"
      "field e { zlib = false }");
  int first = FieldParmList::protofile_count;
  Mvec<FieldParmList> fields;
  table.fetch_typed_parms(fields);
  ASSERT_EQ(fields.size(), 5);
  auto name = [](int n, const char* ext) { return "data" + std::to_string(n) + ext; };
  EXPECT_EQ(fields[0].protofile.value.c_str(), name(first, ".gz"));
  EXPECT_EQ(fields[1].protofile.value.c_str(), name(first + 1, ".gz"));
  EXPECT_EQ(fields[2].protofile.value.c_str(), name(first + 2, ".gz"));
  EXPECT_STREQ(fields[3].protofile.value.c_str(), "mine.txt");
  EXPECT_EQ(fields[4].protofile.value.c_str(), name(first + 3, ""));
  EXPECT_EQ(FieldParmList::protofile_count, first + 4);
}

TEST_F(VocabTest, NormalizeSampSetsMultiplierAndSquaredNorm) {
  FieldParmList plain;
  FieldParmList unit = LoadOne<FieldParmList>("field f { norm = true protofile = p }");
  TableIdx four;
  for (int i : {2, 5, 7, 9}) four.append(ElemIdx{i});
  unit.normalize_samp(four);
  EXPECT_EQ(four.mult, 0.5f);
  EXPECT_EQ(four.sqnorm, 1.0f);
  plain.normalize_samp(four);
  EXPECT_EQ(four.mult, 1.0f);
  EXPECT_EQ(four.sqnorm, 4.0f);

  TableIdx empty;
  unit.normalize_samp(empty);
  EXPECT_FLOAT_EQ(empty.mult, 100000.0f);
  EXPECT_EQ(empty.sqnorm, 1.0f);
  plain.normalize_samp(empty);
  EXPECT_EQ(empty.mult, 1.0f);
  EXPECT_EQ(empty.sqnorm, static_cast<float>(1e-10));
}

// ---------------------------------------------------------------------- vector

TEST_F(VocabTest, VectorElementsAreIntegerKeysInFileOrder) {
  testing::internal::CaptureStderr();
  VecParmList v = LoadOne<VecParmList>(
      "vector v { type = supvec 12 = 0.5 x = 1 field = 2 0x1f = -1 017 = 2.5e-1 maxindex = 40 }");
  std::string warning = testing::internal::GetCapturedStderr();
  EXPECT_EQ(warning.rfind("Parameter [x=1] does not exist in\nvector v { ", 0), 0u) << warning;
  EXPECT_EQ(Elems(v.values), "12:0.5 31:-1 15:0.25 ");
  EXPECT_EQ(v.field.value, 2);
  EXPECT_EQ(DumpOf(v), "vector v { \n\t maxindex=40\n\t type=supvec\n\t field=2 }\n");
  v.binsize.value = 3;
  EXPECT_EQ(DumpOf(v), "vector v { \n\t maxindex=40\n\t binsize=3\n\t type=supvec\n\t field=2 }\n");
}

TEST_F(VocabTest, VectorTypeCodes) {
  const char* names[] = {"weight", "stump", "supvec", "restrict"};
  for (int code = 0; code < 4; code++)
    EXPECT_EQ(
        LoadOne<VecParmList>(std::string("vector v { type = ") + names[code] + " }").get_vec_type(),
        code);
}

TEST_F(VocabTest, BadVectorBlocksEndTheProcess) {
  VecParmList v = LoadOne<VecParmList>("vector v { type = dense }");
  EXPECT_EXIT(v.get_vec_type(), testing::ExitedWithCode(1),
              Exact(std::string("VecParmList::get_vec_type: unknown vec type [dense]\nvector v { "
                                "\n\t maxindex=0\n\t type=dense\n\t field=0 }\n\n") +
                    kUserLine));
  AnyParmListTable table = Parse("vector w { 99999999999 = 1 }");
  VecParmList w;
  EXPECT_EXIT(w.load(table.blocks[0]), testing::ExitedWithCode(1),
              Exact(std::string("VecParmList::init_parm: index 99999999999 of vector w is out of "
                                "range\n\n") +
                    kDataLine));
}

// Little-endian bytes of the records (index, value bits).
std::string Records(const std::vector<std::pair<uint32_t, uint32_t>>& recs) {
  std::string out;
  for (const auto& r : recs)
    for (uint32_t word : {r.first, r.second})
      for (int shift = 0; shift < 32; shift += 8) out += static_cast<char>((word >> shift) & 0xff);
  return out;
}

TEST_F(VocabTest, BinaryRecordsAreLittleEndianAndReplaceTextElements) {
  // 0.75f = 0x3f400000, -1.5f = 0xbfc00000, 2.0f = 0x40000000.
  const char raw[] =
      "\x03\x00\x00\x00\x00\x00\x40\x3f"
      "\x0a\x00\x00\x00\x00\x00\xc0\xbf"
      "\x04\x03\x02\x01\x00\x00\x00\x40"
      "\xfe\xff\xff\xff\x00\x00\xc0\xbf";
  WriteFile(dir_ + "w.bin",
            std::string(raw, sizeof raw - 1) + "\x01\x02");  // trailing bytes are never read
  AnyParmListTable table = Parse(
      "vector v0 { binsize = 2 0 = 9 1 = 9 2 = 9 }\n"
      "vector v1 { binsize = 0 4 = 100 }\n"
      "vector v2 { binsize = 2 }\n");
  ZDIO io;
  io.force_open((dir_ + "w.bin").c_str(), "r", false);
  Mvec<VecParmList> sets;
  table.fetch_typed_parms(sets, &io);
  io.clean_close();
  ASSERT_EQ(sets.size(), 3);
  EXPECT_EQ(Elems(sets[0].values), "3:0.75 10:-1.5 ");
  EXPECT_EQ(Elems(sets[1].values), "");
  EXPECT_EQ(Elems(sets[2].values), "16909060:2 -2:-1.5 ");  // 0x01020304
}

TEST_F(VocabTest, ShortOrNegativeBinarySizesEndTheProcess) {
  std::string path = dir_ + "short.bin";
  WriteFile(path, Records({{1, 0x3f800000}}) + "\x05\x00\x00");
  auto load = [&](const char* block) {
    VecParmList v = LoadOne<VecParmList>(block);
    ZDIO io;
    io.force_open(path.c_str(), "r", false);
    v.load_bin_data(io);
  };
  EXPECT_EXIT(load("vector v { binsize = 2 }"), testing::ExitedWithCode(1),
              Exact("VecParmList::load_bin_data: binary vector file [" + path +
                    "] ends after 1 of the 2 records of vector v\n\n" + kDataLine));
  // Refused before anything is allocated for it.
  EXPECT_EXIT(load("vector big { binsize = 2000000000 }"), testing::ExitedWithCode(1),
              Exact("VecParmList::load_bin_data: binary vector file [" + path +
                    "] ends after 1 of the 2000000000 records of vector big\n\n" + kDataLine));
  EXPECT_EXIT(
      load("vector neg { binsize = -1 }"), testing::ExitedWithCode(1),
      Exact(std::string("VecParmList::load_bin_data: negative binsize -1 in vector neg\n\n") +
            kUserLine));
}

TEST_F(VocabTest, ShortStreamThatCannotBeMeasuredFailsAfterReading) {
  VecParmList v = LoadOne<VecParmList>("vector v { binsize = 3 }");
  EXPECT_EXIT(
      {
        int fds[2];
        if (pipe(fds) != 0) exit(2);
        std::string bytes = Records({{7, 0x3f800000}, {8, 0x3f800000}});
        if (write(fds[1], bytes.data(), bytes.size()) != 16) exit(2);
        close(fds[1]);
        ZDIO io;
        io.stream = fdopen(fds[0], "r");
        v.load_bin_data(io);
      },
      testing::ExitedWithCode(1),
      Exact(std::string("VecParmList::load_bin_data: binary vector file [] ends after 2 of the 3 "
                        "records of vector v\n\n") +
            kDataLine));
}

// ------------------------------------------------------------------- container

TEST_F(VocabTest, InitParametersLoadsFieldsThenKernelsInTableOrder) {
  AnyParmListTable table;
  table.load_parameter_table(TEST_DATA_DIR "/vocab/model.parm");
  int first = FieldParmList::protofile_count;
  ModelParmCont cont;
  testing::internal::CaptureStdout();
  ZDEvent::verbose = 3;
  cont.init_parameters(table);
  ZDEvent::verbose = 1;
  std::string traces = testing::internal::GetCapturedStdout();
  size_t fields_at = traces.find("found 2 field\n");
  ASSERT_NE(fields_at, std::string::npos) << traces;
  EXPECT_NE(traces.find("found 2 kernel\n", fields_at), std::string::npos) << traces;

  ASSERT_EQ(cont.field_parms.size(), 2);
  EXPECT_STREQ(cont.field_parms[0].refer_name.c_str(), "f0");
  EXPECT_STREQ(cont.field_parms[1].refer_name.c_str(), "f1");
  EXPECT_EQ(cont.field_parms[0].protofile.value.c_str(), "data" + std::to_string(first) + ".gz");
  EXPECT_EQ(cont.field_parms[1].protofile.value.c_str(), "data" + std::to_string(first + 1));
  EXPECT_TRUE(cont.field_parms[1].norm.value);
  ASSERT_EQ(cont.kernels.size(), 2);
  EXPECT_STREQ(cont.kernels[0].refer_name.c_str(), "k0");
  EXPECT_STREQ(cont.kernels[1].refer_name.c_str(), "k1");
  EXPECT_EQ(cont.kernels[0].get_kernel_type(), KT_LINEAR);  // poly of degree 1
  // The field check ran: k1's single weight 0.5 is compiled to 1 on field 1.
  ASSERT_EQ(cont.kernels[1].field_wts.size(), 2);
  EXPECT_EQ(cont.kernels[1].field_wts[0], 0.0);
  EXPECT_EQ(cont.kernels[1].field_wts[1], 1.0);
  // The table is left as it was.
  EXPECT_EQ(table.blocks.size(), 5);
  EXPECT_STREQ(table.blocks[2].type, "classifier");
}

TEST_F(VocabTest, InitParametersOnTableWithoutFieldsOrKernels) {
  AnyParmListTable table = Parse("classifier c { bias = 1 }");
  ModelParmCont cont;
  cont.init_parameters(table);
  EXPECT_EQ(cont.field_parms.size(), 0);
  EXPECT_EQ(cont.kernels.size(), 0);
}

TEST_F(VocabTest, KernelFieldMismatchesEndInitParameters) {
  AnyParmListTable missing =
      Parse("field f0 {} kernel k { type = linear fields = { f9 } weights = { 1 } }");
  ModelParmCont cont;
  EXPECT_EXIT(
      cont.init_parameters(missing), testing::ExitedWithCode(1),
      Exact(std::string("KernelParmList::check_field_weights: Field names f9 does not "
                        "exist\nkernel k { \n\t type=linear\n\t parms={}\n\t learner=svm\n\t "
                        "fields={f9}\n\t weights={1}\n\t restrict=-1 }\n\n") +
            kUserLine));
  AnyParmListTable counts = Parse(
      "field f0 {} field f1 {} kernel k { type = linear fields = { f0, f1 } weights = { 1 } }");
  EXPECT_EXIT(cont.init_parameters(counts), testing::ExitedWithCode(1),
              Exact(std::string("KernelParmList::check_field_weights: Number of  field weights (1) "
                                "does not match number of fields names (2)\nkernel k { \n\t "
                                "type=linear\n\t parms={}\n\t learner=svm\n\t fields={f0,f1}\n\t "
                                "weights={1}\n\t restrict=-1 }\n\n") +
                    kUserLine));
}

}  // namespace
