#include <gtest/gtest.h>
#include <stdlib.h>
#include <zlib.h>

#include <cmath>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "ZDdata_field.h"
#include "ZDdata_io.h"
#include "ZDdata_parms.h"
#include "ZDutil_parm.h"

namespace {

// Escapes every character that is special in a POSIX extended regex.
std::string quote(const std::string& s) {
  std::string r;
  for (char c : s) {
    if (std::string("\\.^$|()[]{}*+?").find(c) != std::string::npos) r += '\\';
    r += c;
  }
  return r;
}

const char kUserErr[] = "\nPlease verify first your input model and your data\n";

// A fresh directory (ending in '/') holding a test's model files.
class FieldTest : public ::testing::Test {
 protected:
  std::string dir;

  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "fieldXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl + "/";
    ZDEvent::verbose = 0;  // loading traces would flood the test output
  }
  void TearDown() override {
    ZDEvent::set_pedantic(0);
    ZDEvent::verbose = 1;
  }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir + name) << text;
  }

  // Reads `parm` (a parameter file text) into `table`, based in `dir`.
  void load_table(const std::string& parm, AnyParmListTable& table) {
    write("zanda.parm", parm);
    table.base_dir.init(dir.c_str());
    table.load_parameter_table((dir + "zanda.parm").c_str());
  }

  // Loads the shared support vectors of the field blocks of `parm`.
  void load_set(const std::string& parm, VecData& data) {
    AnyParmListTable table;
    load_table(parm, table);
    Mvec<FieldParmList> fields;
    table.fetch_typed_parms(fields);
    data.copy_field_parms(fields);
    data.load_supvec_data(table);
  }
};

std::vector<int> indices(const TableIdx& v) {
  std::vector<int> r;
  for (const ElemIdx& e : v) r.push_back(e.index);
  return r;
}

std::vector<std::pair<int, float>> entries(const TableValIdx& v) {
  std::vector<std::pair<int, float>> r;
  for (const ElemValIdx& e : v) r.emplace_back(e.index, e.value);
  return r;
}

TEST_F(FieldTest, LoadsEveryLineAndNormalises) {
  write("a.txt", " 7 3\n 3 7\n\n 12 4 4\n");
  write("b.txt", " 7 3\n 3 7\n\n 12 4 4\n");
  VecData data;
  load_set(
      "field fa { protofile = a.txt zlib = false }\n"
      "field fb { protofile = b.txt norm = true }\n",
      data);
  ASSERT_EQ(data.nsamples, 4);
  EXPECT_EQ(data.linenums.nitems, 4);
  for (int k = 0; k < 4; k++) EXPECT_EQ(data.linenums[k], k);
  const FieldData& fa = data.fields[0];
  const FieldData& fb = data.fields[1];
  EXPECT_EQ(indices(fa.samples[0]), (std::vector<int>{3, 7}));
  EXPECT_EQ(indices(fa.samples[2]), (std::vector<int>{0}));  // an empty line is feature 0
  EXPECT_EQ(indices(fa.samples[3]), (std::vector<int>{4, 12}));

  // Without "norm": mult 1, sqnorm the feature count.
  EXPECT_EQ(fa.samples[0].mult, 1.0f);
  EXPECT_EQ(fa.samples[0].sqnorm, 2.0f);
  EXPECT_EQ(fa.samples[2].sqnorm, 1.0f);
  // With "norm": unit length.
  EXPECT_FLOAT_EQ(fb.samples[0].mult, 1.0f / std::sqrt(2.0f));
  EXPECT_EQ(fb.samples[0].sqnorm, 1.0f);
  EXPECT_FLOAT_EQ(fb.samples[3].mult, 1.0f / std::sqrt(2.0f));

  std::vector<std::pair<int, float>> want;
  for (int j = 0; j < 4; j++) want.emplace_back(j, fb.samples[j].mult);
  EXPECT_EQ(entries(fb.multipliers), want);
  EXPECT_TRUE(fb.multipliers.sparse);
  EXPECT_EQ(entries(fa.multipliers),
            (std::vector<std::pair<int, float>>{{0, 1.0f}, {1, 1.0f}, {2, 1.0f}, {3, 1.0f}}));
}

TEST_F(FieldTest, GzipAndPlainFilesGiveTheSameSamples) {
  const char lines[] = " 1 5 9\n 2\n 9 8\n";
  gzFile gz = gzopen((dir + "f.gz").c_str(), "wb");
  ASSERT_NE(gz, nullptr);
  gzputs(gz, lines);
  gzclose(gz);
  write("f.txt", lines);
  VecData data;
  load_set("field z { protofile = f.gz }\nfield p { protofile = f.txt zlib = false }\n", data);
  ASSERT_EQ(data.nsamples, 3);
  for (int j = 0; j < 3; j++)
    EXPECT_EQ(indices(data.fields[0].samples[j]), indices(data.fields[1].samples[j]));
  EXPECT_EQ(indices(data.fields[0].samples[2]), (std::vector<int>{8, 9}));
}

TEST_F(FieldTest, RepeatedLineNumbersGiveViews) {
  write("f.txt", " 1 2\n 3\n 4 5 6\n 7\n");
  AnyParmListTable table;
  load_table("field f { protofile = f.txt zlib = false }\n", table);
  Mvec<FieldParmList> lists;
  table.fetch_typed_parms(lists);
  FieldData field;
  field.parms = lists[0];
  Mvec<int> lines;
  for (int t : {0, 0, 2}) lines.append(t);
  field.load_data(lines, (dir + "f.txt").c_str());

  ASSERT_EQ(field.nsamples, 3);
  EXPECT_EQ(indices(field.samples[0]), (std::vector<int>{1, 2}));
  EXPECT_TRUE(field.samples[1].borrowed);
  EXPECT_EQ(field.samples[1].data, field.samples[0].data);
  EXPECT_EQ(field.samples[1].sqnorm, 2.0f);
  EXPECT_EQ(indices(field.samples[2]), (std::vector<int>{4, 5, 6}));

  // A second load appends after the samples already held.
  Mvec<int> more;
  more.append(3);
  field.load_data(more, (dir + "f.txt").c_str());
  ASSERT_EQ(field.nsamples, 4);
  EXPECT_EQ(indices(field.samples[3]), (std::vector<int>{7}));
  EXPECT_EQ(indices(field.samples[0]), (std::vector<int>{1, 2}));
}

TEST_F(FieldTest, EmptyFieldReportsEmptyIndexRange) {
  write("f.txt", "");
  ZDEvent::verbose = 1;
  testing::internal::CaptureStdout();
  VecData data;
  load_set("field f { protofile = f.txt zlib = false }\n", data);
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ(data.nsamples, 0);
  EXPECT_NE(out.find("Features indexes range from 9999999 to -1\n"), std::string::npos) << out;
  EXPECT_NE(out.find(": Loaded  data\n0 (total 0) userdata examples read\n"), std::string::npos);
}

TEST_F(FieldTest, ShortSecondFileEndsTheProcess) {
  write("a.txt", " 1\n 2\n 3\n 4\n 5\n");
  write("b.txt", " 1\n 2\n 3\n 4\n");
  const std::string parm =
      "field fa { protofile = a.txt zlib = false }\nfield fb { protofile = b.txt zlib = false }\n";
  EXPECT_EXIT(
      {
        VecData data;
        load_set(parm, data);
      },
      ::testing::ExitedWithCode(1),
      "^" + quote("IOFieldData::load_data: " + dir +
                  "b.txt: Could only read 4 samples out of a list that had 5 samples\n\n"
                  "Memory Error: Please send error message to "));
}

TEST_F(FieldTest, ExtraLineIsAPedanticError) {
  write("a.txt", " 1\n 2\n");
  write("b.txt", " 1\n 2\n 7 3\n");
  const std::string parm =
      "field fa { protofile = a.txt zlib = false }\nfield fb { protofile = b.txt zlib = false }\n";
  {
    VecData data;  // accepted without the pedantic flag
    load_set(parm, data);
    EXPECT_EQ(data.nsamples, 2);
  }
  EXPECT_EXIT(
      {
        ZDEvent::set_pedantic(1);
        VecData data;
        load_set(parm, data);
      },
      ::testing::ExitedWithCode(1),
      "^" +
          quote("IOFieldData::load_data: File " + dir +
                "b.txt has too many lines\nData with 2 features. First is 3:1 . Last is 7:1 \n"
                "\nPedantic Error: Turn off pedantic flag if you do not want this error to "
                "happen\n") +
          "$");
}

TEST_F(FieldTest, MissingFileBadTypeAndNegativeIndexEndTheProcess) {
  EXPECT_EXIT(
      {
        VecData data;
        load_set("field f { protofile = none.txt zlib = false }\n", data);
      },
      ::testing::ExitedWithCode(1),
      "^" + quote("ZDIO::force_open: Cannot open " + dir + "none.txt for [r]\n" + kUserErr) + "$");

  write("f.txt", " 1:0.5 2:1\n");
  EXPECT_EXIT(
      {
        VecData data;
        load_set("field f { protofile = f.txt zlib = false type = sparse }\n", data);
      },
      ::testing::ExitedWithCode(1),
      "^" +
          quote("TableIdx::init: Only bsparse datatype supported by binary ZANDA\n"
                "Data Error: Please check your data!\n") +
          "$");

  write("g.txt", " 4 2\n 5 -3\n");
  EXPECT_EXIT(
      {
        VecData data;
        load_set("field f { protofile = g.txt zlib = false }\n", data);
      },
      ::testing::ExitedWithCode(1),
      "^" +
          quote(
              "TableValIdx::sort_feat: Negative index -3\nData Error: Please check your data!\n") +
          "$");
}

TEST_F(FieldTest, FieldParameterErrors) {
  write("f.txt", " 1\n");
  AnyParmListTable table;
  load_table("field f { protofile = f.txt zlib = false }\nfield g { protofile = f.txt }\n", table);
  Mvec<FieldParmList> lists;
  table.fetch_typed_parms(lists);

  VecData data;
  data.copy_field_parms(Mvec<FieldParmList>());  // an empty list changes nothing
  EXPECT_EQ(data.fields.nitems, 0);
  data.copy_field_parms(lists);
  ASSERT_EQ(data.fields.nitems, 2);
  EXPECT_STREQ(data.fields[1].parms.refer_name.c_str(), "g");
  Mvec<FieldParmList> one(1);
  EXPECT_EXIT(
      data.copy_field_parms(one), ::testing::ExitedWithCode(1),
      "^" + quote(std::string("VecData::copy_field_parms: Number of fields varies\n") + kUserErr) +
          "$");

  data.fields[1].parms.protofile.value.init("");
  string_t dump;
  data.fields[1].parms.dump(dump);
  EXPECT_EXIT(data.load_supvec_data(table), ::testing::ExitedWithCode(1),
              quote(std::string("VecData::load_supvec_data: No path for saved field data in field "
                                "parms\n") +
                    dump.c_str() + kUserErr) +
                  "$");

  // Sample counts that disagree with the set's count.
  VecData other;
  other.copy_field_parms(lists);
  other.nsamples = 7;
  EXPECT_EXIT(other.load_supvec_data(table), ::testing::ExitedWithCode(1),
              quote(std::string("VecData::check_nidx: Fields have different number of examples 1 "
                                "7\n") +
                    kUserErr) +
                  "$");
}

TEST_F(FieldTest, SamplesAndRestrictions) {
  write("a.txt", " 1 2\n 3\n 4 5\n");
  write("b.txt", " 10\n 11 12\n 13\n");
  VecData data;
  load_set(
      "field a { protofile = a.txt zlib = false }\nfield b { protofile = b.txt zlib = false }\n",
      data);

  Mvec<TableIdx> samp;
  data.get_samp(1, samp);
  ASSERT_EQ(samp.nitems, 2);
  EXPECT_EQ(indices(samp[0]), (std::vector<int>{3}));
  EXPECT_EQ(indices(samp[1]), (std::vector<int>{11, 12}));
  EXPECT_EQ(samp[1].data, data.fields[1].samples[1].data);
  EXPECT_EQ(samp[1].sqnorm, 2.0f);

  Mvec<int> p;
  for (int s : {2, 0, 2}) p.append(s);
  VecData copied, viewed;
  copied.restrict_examples_to_veclist(data, p, true);
  viewed.restrict_examples_to_veclist(data, p, false);
  for (VecData* d : {&copied, &viewed}) {
    ASSERT_EQ(d->nsamples, 3);
    ASSERT_EQ(d->fields.nitems, 2);
    EXPECT_STREQ(d->fields[1].parms.refer_name.c_str(), "b");
    EXPECT_EQ(d->fields[1].nsamples, 3);
    EXPECT_EQ(indices(d->fields[0].samples[0]), (std::vector<int>{4, 5}));
    EXPECT_EQ(indices(d->fields[1].samples[1]), (std::vector<int>{10}));
    EXPECT_EQ(indices(d->fields[1].samples[2]), (std::vector<int>{13}));
    EXPECT_EQ(d->fields[0].multipliers.nitems, 0);
    EXPECT_TRUE(d->fields[0].transposer.empty());
  }
  EXPECT_FALSE(copied.fields[0].samples[0].borrowed);
  EXPECT_NE(copied.fields[0].samples[0].data, data.fields[0].samples[2].data);
  EXPECT_TRUE(viewed.fields[0].samples[0].borrowed);
  EXPECT_EQ(viewed.fields[0].samples[0].data, data.fields[0].samples[2].data);

  p.append(3);
  VecData bad;
  EXPECT_EXIT(bad.restrict_examples_to_veclist(data, p, true), ::testing::ExitedWithCode(1),
              "^" +
                  quote(std::string("FieldData::restrict_examples_to_veclist: Sample position 3 "
                                    "is out of range: 3 samples\n") +
                        kUserErr) +
                  "$");
}

TEST_F(FieldTest, TransposeStoreChecksIndexOrder) {
  write("a.txt", " 1 2\n 3 4\n");
  VecData data;
  load_set("field a { protofile = a.txt zlib = false }\n", data);
  data.linenums.set_nitems(0);
  data.fields[0].samples[1][0].index = 9;  // 9 then 4: no longer increasing
  EXPECT_EXIT(
      data.transpose_store(true, false, false, false, TMUL_MERGE), ::testing::ExitedWithCode(1),
      "^" + quote(std::string("VecData::transpose_store: wrong index order") + kUserErr) + "$");
}

TEST_F(FieldTest, SmallSetsGetNoIndex) {
  write("a.txt", " 1 2\n");
  VecData data;
  load_set("field a { protofile = a.txt zlib = false }\n", data);
  data.linenums.set_nitems(0);
  data.transpose_store(true, false, false, false, TMUL_MERGE);
  EXPECT_FALSE(data.fields[0].parms.transpose.value);
  EXPECT_TRUE(data.fields[0].transposer.empty());
  EXPECT_EQ(data.fields[0].multipliers.nitems, 1);
}

TEST_F(FieldTest, TransposeStoreSelectionsAndTakeOver) {
  write("a.txt", " 1 2\n 2 3\n 4\n");
  const char parm[] = "field a { protofile = a.txt zlib = false norm = true }\n";
  TableIdx x;
  x.append(ElemIdx{2});
  TableValIdx out;

  // Selected samples keep their positions; the others give empty rows.
  VecData kept;
  load_set(parm, kept);
  kept.linenums.set_nitems(0);
  for (int s : {0, 2}) kept.linenums.append(s);
  kept.transpose_store(false, false, false, false, TMUL_MERGE);
  const FieldData& fk = kept.fields[0];
  EXPECT_EQ(fk.transposer.nrows, 3);
  EXPECT_EQ(entries(fk.multipliers),
            (std::vector<std::pair<int, float>>{{0, fk.samples[0].mult}, {2, 1.0f}}));
  fk.set_dpline(out, x, kept.linenums);
  ASSERT_EQ(out.nitems, 1);  // sample 1 also holds 2, but is not in the index
  EXPECT_EQ(out[0].index, 0);

  // Packed: the selection is renumbered 0..k-1, index and multipliers alike.
  VecData packed;
  load_set(parm, packed);
  packed.linenums.set_nitems(0);
  for (int s : {1, 2}) packed.linenums.append(s);
  packed.transpose_store(false, false, true, false, TMUL_MERGE);
  const FieldData& fp = packed.fields[0];
  EXPECT_EQ(fp.transposer.nrows, 2);
  EXPECT_EQ(entries(fp.multipliers),
            (std::vector<std::pair<int, float>>{{0, fp.samples[1].mult}, {1, 1.0f}}));
  fp.set_dpline(out, x, packed.linenums);
  ASSERT_EQ(out.nitems, 1);
  EXPECT_EQ(out[0].index, 0);
  EXPECT_FLOAT_EQ(out[0].value, 1.0f / std::sqrt(2.0f));  // cosine of {2} and {2, 3}

  // Taking over leaves the samples without elements but with their headers,
  // also when a repeated line shares its elements with the previous sample.
  VecData moved;
  load_set(parm, moved);
  Mvec<int> p;
  for (int s : {0, 0, 1}) p.append(s);
  VecData sub;
  sub.restrict_examples_to_veclist(moved, p, false);
  sub.transpose_store(false, false, false, true, TMUL_MERGE);
  const FieldData& fm = sub.fields[0];
  EXPECT_EQ(fm.samples[0].nitems, 0);
  EXPECT_EQ(fm.samples[1].nitems, 0);
  EXPECT_FLOAT_EQ(fm.samples[2].mult, 1.0f / std::sqrt(2.0f));
  fm.set_dpline(out, x, sub.linenums);
  ASSERT_EQ(out.nitems, 3);  // {1, 2} twice and {2, 3}
  for (int j = 0; j < 3; j++) {
    EXPECT_EQ(out[j].index, j);
    EXPECT_FLOAT_EQ(out[j].value, 1.0f / std::sqrt(2.0f));
  }
  EXPECT_EQ(indices(moved.fields[0].samples[0]), (std::vector<int>{1, 2}));  // source untouched
}

TEST_F(FieldTest, StumpFieldsRecordTheirLevels) {
  write("s.txt", " 2 0\n 1 3\n 0 1\n");
  VecData data;
  load_set("field s { protofile = s.txt zlib = false type = bstump }\n", data);
  FieldData& f = data.fields[0];
  ASSERT_EQ(f.nsamples, 3);
  EXPECT_EQ(indices(f.samples[0]), (std::vector<int>{2, 0}));  // bins keep their order
  EXPECT_EQ(f.samples[0].stump, &f.parms.handler);
  ASSERT_EQ(f.parms.stumps.values.nitems, 2);
  EXPECT_EQ(f.parms.stumps.values[0], 3);
  EXPECT_EQ(f.parms.stumps.values[1], 4);

  Mvec<int> p;
  for (int s : {1, 0}) p.append(s);
  VecData sub;
  sub.restrict_examples_to_veclist(data, p, true);
  EXPECT_EQ(sub.fields[0].samples[0].stump, &sub.fields[0].parms.handler);
  sub.transpose_store(false, false, false, false, TMUL_MERGE);  // bins need not increase
  EXPECT_EQ(sub.fields[0].transposer.columns.nitems, 7);
}

// Dot products of random queries with random support vectors, with and
// without the inverted index, against the plain count of shared features.
TEST_F(FieldTest, DotProductLinesWithAndWithoutIndex) {
  std::mt19937 rng(7);
  std::vector<std::set<int>> rows;
  std::string text;
  for (int j = 0; j < 80; j++) {
    std::set<int> r;
    int n = 1 + rng() % 8;
    for (int k = 0; k < n; k++) r.insert(rng() % 60);
    for (int f : r) text += " " + std::to_string(f);
    text += "\n";
    rows.push_back(r);
  }
  write("r.txt", text);
  VecData shared;
  load_set(
      "field plain { protofile = r.txt zlib = false }\n"
      "field cos { protofile = r.txt zlib = false norm = true }\n",
      shared);
  Mvec<int> all;
  for (int j = 0; j < 80; j++) all.append(j);
  VecData indexed, direct;
  indexed.restrict_examples_to_veclist(shared, all, true);
  direct.restrict_examples_to_veclist(shared, all, true);
  indexed.transpose_store(true, false, false, false, TMUL_MERGE);
  direct.transpose_store(true, true, false, false, TMUL_MERGE);  // multipliers only
  ASSERT_FALSE(indexed.fields[0].transposer.empty());
  ASSERT_TRUE(direct.fields[0].transposer.empty());

  for (int q = 0; q < 40; q++) {
    std::set<int> feats;
    int n = rng() % 10;
    for (int k = 0; k < n; k++) feats.insert(rng() % 70);
    TableIdx x;
    for (int f : feats) x.append(ElemIdx{f});
    for (int f = 0; f < 2; f++) {
      const bool norm = f == 1;
      shared.fields[f].parms.normalize_samp(x);
      std::vector<std::pair<int, float>> want;
      for (int j = 0; j < 80; j++) {
        int common = 0;
        for (int i : feats) common += rows[j].count(i);
        if (common == 0) continue;
        double v = common;
        if (norm) v /= std::sqrt(std::max<double>(feats.size(), 1e-10) * rows[j].size());
        want.emplace_back(j, static_cast<float>(v));
      }
      TableValIdx a, b;
      indexed.fields[f].set_dpline(a, x, indexed.linenums);
      direct.fields[f].set_dpline(b, x, direct.linenums);
      auto ea = entries(a), eb = entries(b);
      ASSERT_EQ(ea.size(), want.size());
      ASSERT_EQ(eb.size(), want.size());
      for (size_t k = 0; k < want.size(); k++) {
        EXPECT_EQ(ea[k].first, want[k].first);
        EXPECT_EQ(eb[k].first, want[k].first);
        EXPECT_NEAR(ea[k].second, want[k].second, 1e-6);
        EXPECT_NEAR(eb[k].second, want[k].second, 1e-6);
      }
    }
  }
}

TEST_F(FieldTest, DotProductLineOverListedPositions) {
  write("a.txt", " 1 2\n 2\n 5\n 1 2 3\n");
  VecData data;
  load_set("field a { protofile = a.txt zlib = false }\n", data);
  TableIdx x;
  x.append(ElemIdx{2});
  x.append(ElemIdx{3});
  Mvec<int> p;
  for (int s : {3, 2, 0}) p.append(s);
  TableValIdx out;
  data.fields[0].set_dpline(out, x, p);
  EXPECT_EQ(entries(out), (std::vector<std::pair<int, float>>{{3, 2.0f}, {0, 1.0f}}));
  p.append(4);
  EXPECT_EXIT(data.fields[0].set_dpline(out, x, p), ::testing::ExitedWithCode(1),
              "^" +
                  quote(std::string("FieldData::set_dpline: Sample position 4 is out of range: 4 "
                                    "samples\n") +
                        kUserErr) +
                  "$");
}

}  // namespace
