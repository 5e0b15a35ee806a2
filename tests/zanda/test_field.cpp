// Support-vector data fields: loading, views and restrictions, the inverted
// index over the samples and the dot-product lines it gives.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDdata_field.h"
#include "ZDdata_io.h"

namespace {

using Ints = std::vector<int>;
using Entries = std::vector<std::pair<int, float>>;

Ints indices(const TableIdx& v) {
  Ints r;
  for (const ElemIdx& e : v) r.push_back(e.index);
  return r;
}

Entries entries(const TableValIdx& v) {
  Entries r;
  for (const ElemValIdx& e : v) r.emplace_back(e.index, e.value);
  return r;
}

void expect_entries(const TableValIdx& got, const Entries& want) {
  ASSERT_EQ(got.nitems, static_cast<int>(want.size()));
  for (int k = 0; k < got.nitems; k++) {
    EXPECT_EQ(got[k].index, want[k].first);
    EXPECT_NEAR(got[k].value, want[k].second, 1e-6);
  }
}

Mvec<int> positions(const Ints& p) {
  Mvec<int> m;
  for (int s : p) m.append(s);
  return m;
}

// Model files in a fresh directory; loading traces are silenced.
class FieldTest : public ::testing::Test {
 protected:
  std::string dir = zdtest::MakeTempDir();
  AnyParmListTable table;

  void SetUp() override { ZDEvent::verbose = 0; }
  void TearDown() override {
    ZDEvent::set_pedantic(0);
    ZDEvent::verbose = 1;
  }
  void write(const std::string& name, const std::string& text) {
    zdtest::WriteFile(dir + name, text);
  }
  // Loads the support vectors of the field blocks of `parm` into `data`.
  void load_set(const std::string& parm, VecData& data) {
    write("zanda.parm", parm);
    table = AnyParmListTable();
    table.base_dir.init(dir.c_str());
    table.load_parameter_table((dir + "zanda.parm").c_str());
    Mvec<FieldParmList> fields;
    table.fetch_typed_parms(fields);
    data.copy_field_parms(fields);
    data.load_supvec_data(table);
  }
};

TEST_F(FieldTest, LoadsEveryLineOfPlainAndGzipFilesAndNormalises) {
  const char lines[] = " 7 3\n 3 7\n\n 12 4 4\n";
  write("a.txt", lines);
  zdtest::WriteFile(dir + "b.gz", lines, true);
  VecData data;
  load_set(
      "field fa { protofile = a.txt zlib = false }\nfield fb { protofile = b.gz norm = true }\n",
      data);
  ASSERT_EQ(data.nsamples, 4);
  const FieldData& fa = data.fields[0];
  const FieldData& fb = data.fields[1];
  const Ints expected[] = {{3, 7}, {3, 7}, {0}, {4, 12}};  // an empty line is feature 0
  for (int j = 0; j < 4; j++) {
    EXPECT_EQ(indices(fa.samples[j]), expected[j]);
    EXPECT_EQ(indices(fb.samples[j]), expected[j]);
  }
  // Without "norm": multiplier 1, squared norm the feature count; with it, unit length.
  EXPECT_EQ(fa.samples[0].mult, 1.0f);
  EXPECT_EQ(fa.samples[0].sqnorm, 2.0f);
  EXPECT_FLOAT_EQ(fb.samples[3].mult, 1.0f / std::sqrt(2.0f));
  EXPECT_EQ(fb.samples[3].sqnorm, 1.0f);
  EXPECT_EQ(entries(fa.multipliers), (Entries{{0, 1.0f}, {1, 1.0f}, {2, 1.0f}, {3, 1.0f}}));
  EXPECT_EQ(entries(fb.multipliers)[2], (std::pair<int, float>{2, 1.0f}));

  // Repeated line numbers give views; a second load appends.
  FieldData field;
  field.parms = data.fields[0].parms;
  Mvec<int> lines_wanted = positions({0, 0, 3});
  field.load_data(lines_wanted, (dir + "a.txt").c_str());
  ASSERT_EQ(field.nsamples, 3);
  EXPECT_EQ(field.samples[1].data, field.samples[0].data);
  EXPECT_EQ(field.samples[1].sqnorm, 2.0f);
  EXPECT_EQ(indices(field.samples[2]), (Ints{4, 12}));
  Mvec<int> more = positions({1});
  field.load_data(more, (dir + "a.txt").c_str());
  ASSERT_EQ(field.nsamples, 4);
  EXPECT_EQ(indices(field.samples[3]), (Ints{3, 7}));
}

TEST_F(FieldTest, EmptyFieldTracesAnEmptyIndexRange) {
  write("f.txt", "");
  VecData data;
  ZDEvent::verbose = 1;
  std::string out = zdtest::Captured(
      ZDEvent::tracefile, [&] { load_set("field f { protofile = f.txt zlib = false }\n", data); });
  EXPECT_EQ(data.nsamples, 0);
  EXPECT_NE(out.find("Features indexes range from 9999999 to -1\n"), std::string::npos) << out;
  EXPECT_NE(out.find(": Loaded  data\n0 (total 0) userdata examples read\n"), std::string::npos);
}

TEST_F(FieldTest, SamplesRestrictionsAndStumps) {
  write("a.txt", " 1 2\n 3\n 4 5\n");
  write("b.txt", " 10\n 11 12\n 13\n");
  VecData data;
  load_set(
      "field a { protofile = a.txt zlib = false }\nfield b { protofile = b.txt zlib = false }\n",
      data);
  Mvec<TableIdx> samp;
  data.get_samp(1, samp);
  EXPECT_EQ(indices(samp[1]), (Ints{11, 12}));
  EXPECT_EQ(samp[1].data, data.fields[1].samples[1].data);
  EXPECT_EQ(samp[1].sqnorm, 2.0f);

  Mvec<int> p = positions({2, 0, 2});
  VecData copied, viewed;
  copied.restrict_examples_to_veclist(data, p, true);
  viewed.restrict_examples_to_veclist(data, p, false);
  for (VecData* d : {&copied, &viewed}) {
    ASSERT_EQ(d->nsamples, 3);
    EXPECT_STREQ(d->fields[1].parms.refer_name.c_str(), "b");
    EXPECT_EQ(indices(d->fields[0].samples[0]), (Ints{4, 5}));
    EXPECT_EQ(indices(d->fields[1].samples[1]), Ints{10});
    EXPECT_EQ(indices(d->fields[1].samples[2]), Ints{13});
    EXPECT_EQ(d->fields[0].multipliers.nitems, 0);
  }
  EXPECT_NE(copied.fields[0].samples[0].data, data.fields[0].samples[2].data);
  EXPECT_EQ(viewed.fields[0].samples[0].data, data.fields[0].samples[2].data);

  // Below two samples no index is built.
  VecData one;
  Mvec<int> first = positions({0});
  one.restrict_examples_to_veclist(data, first, true);
  one.transpose_store(true, false, false, false, TMUL_MERGE);
  EXPECT_TRUE(one.fields[0].transposer.empty());
  EXPECT_EQ(one.fields[0].multipliers.nitems, 1);

  // Stump bins keep their order; a restriction points them at its own field.
  write("s.txt", " 2 0\n 1 3\n 0 1\n");
  VecData stumps;
  load_set("field s { protofile = s.txt zlib = false type = bstump }\n", stumps);
  EXPECT_EQ(indices(stumps.fields[0].samples[0]), (Ints{2, 0}));
  const Mvec<int>& levels = stumps.fields[0].parms.stumps.values;
  EXPECT_EQ(std::vector<int>(levels.begin(), levels.end()), (Ints{3, 4}));
  Mvec<int> back = positions({1, 0});
  VecData sub;
  sub.restrict_examples_to_veclist(stumps, back, true);
  EXPECT_EQ(sub.fields[0].samples[0].stump, &sub.fields[0].parms.handler);
  sub.transpose_store(false, false, false, false, TMUL_MERGE);  // bins need not increase
  EXPECT_EQ(sub.fields[0].transposer.ncolumns(), 7);
}

TEST_F(FieldTest, IndexSelectionsPackingAndTakeOver) {
  write("a.txt", " 1 2\n 2 3\n 4\n");
  const char parm[] = "field a { protofile = a.txt zlib = false norm = true }\n";
  TableIdx x;
  x.append(ElemIdx{2});
  TableValIdx out;
  const float cos = 1.0f / std::sqrt(2.0f);  // of {2} with {1, 2} or {2, 3}

  // Selected samples keep their positions; the others give empty rows.
  VecData kept;
  load_set(parm, kept);
  kept.linenums = positions({0, 2});
  kept.transpose_store(false, false, false, false, TMUL_MERGE);
  const FieldData& fk = kept.fields[0];
  expect_entries(fk.multipliers, {{0, cos}, {2, 1.0f}});
  fk.set_dpline(out, x, kept.linenums);
  expect_entries(out, {{0, cos}});  // sample 1 also holds 2, but is not indexed

  // Packed: the selection is renumbered 0..k-1, index and multipliers alike.
  VecData packed;
  load_set(parm, packed);
  packed.linenums = positions({1, 2});
  packed.transpose_store(false, false, true, false, TMUL_MERGE);
  expect_entries(packed.fields[0].multipliers, {{0, cos}, {1, 1.0f}});
  packed.fields[0].set_dpline(out, x, packed.linenums);
  expect_entries(out, {{0, cos}});

  // Taking over leaves the samples their headers only, also when a repeated
  // line shares its elements with the previous sample.
  VecData moved, sub;
  load_set(parm, moved);
  Mvec<int> p = positions({0, 0, 1});
  sub.restrict_examples_to_veclist(moved, p, false);
  sub.transpose_store(false, false, false, true, TMUL_MERGE);
  EXPECT_EQ(sub.fields[0].samples[0].nitems + sub.fields[0].samples[1].nitems, 0);
  EXPECT_FLOAT_EQ(sub.fields[0].samples[2].mult, cos);
  sub.fields[0].set_dpline(out, x, sub.linenums);
  expect_entries(out, {{0, cos}, {1, cos}, {2, cos}});
  EXPECT_EQ(indices(moved.fields[0].samples[0]), (Ints{1, 2}));  // source untouched

  // Without index: the listed positions, in their order.
  write("d.txt", " 1 2\n 2\n 5\n 1 2 3\n");
  VecData direct;
  load_set("field d { protofile = d.txt zlib = false }\n", direct);
  x.append(ElemIdx{3});
  direct.fields[0].set_dpline(out, x, positions({3, 2, 0}));
  EXPECT_EQ(entries(out), (Entries{{3, 2.0f}, {0, 1.0f}}));
}

// Dot products of random queries with random support vectors, with and
// without the inverted index, against the count of shared features.
TEST_F(FieldTest, DotProductLinesWithAndWithoutIndex) {
  std::mt19937 rng(7);
  std::vector<std::set<int>> rows(60);
  std::string text;
  for (auto& r : rows) {
    for (int k = 1 + rng() % 8; k > 0; k--) r.insert(rng() % 60);
    for (int f : r) text += " " + std::to_string(f);
    text += "\n";
  }
  write("r.txt", text);
  VecData shared, indexed, direct;
  load_set(
      "field plain { protofile = r.txt zlib = false }\n"
      "field cos { protofile = r.txt zlib = false norm = true }\n",
      shared);
  Mvec<int> all;
  for (int j = 0; j < 60; j++) all.append(j);
  indexed.restrict_examples_to_veclist(shared, all, true);
  direct.restrict_examples_to_veclist(shared, all, true);
  indexed.transpose_store(true, false, false, false, TMUL_MERGE);
  direct.transpose_store(true, true, false, false, TMUL_MERGE);  // multipliers only
  ASSERT_FALSE(indexed.fields[0].transposer.empty());
  ASSERT_TRUE(direct.fields[0].transposer.empty());
  for (int q = 0; q < 25; q++) {
    std::set<int> feats;
    for (int k = rng() % 10; k > 0; k--) feats.insert(rng() % 70);
    TableIdx x;
    for (int f : feats) x.append(ElemIdx{f});
    for (int f = 0; f < 2; f++) {
      shared.fields[f].parms.normalize_samp(x);
      Entries want;
      for (int j = 0; j < 60; j++) {
        int common = 0;
        for (int i : feats) common += rows[j].count(i);
        double v = common;
        if (f == 1) v /= std::sqrt(std::max<double>(feats.size(), 1e-10) * rows[j].size());
        if (common) want.emplace_back(j, static_cast<float>(v));
      }
      for (VecData* d : {&indexed, &direct}) {
        TableValIdx line;
        d->fields[f].set_dpline(line, x, d->linenums);
        expect_entries(line, want);
      }
    }
  }
}

TEST_F(FieldTest, BadDataAndPositionsEndTheProcess) {
  write("one.txt", " 1\n");
  write("rows.txt", " 1 2\n 3 4\n");
  write("three.txt", " 1\n 2\n 7 3\n");
  VecData ok;  // an extra line is accepted without the pedantic flag
  load_set(
      "field fa { protofile = rows.txt zlib = false }\n"
      "field fb { protofile = three.txt zlib = false }\n",
      ok);
  EXPECT_EQ(ok.nsamples, 2);
  Mvec<FieldParmList> lists, one(1);
  table.fetch_typed_parms(lists);
  FieldParmList nopath = lists[1];
  nopath.protofile.value.init("");
  string_t dump;
  nopath.dump(dump);
  Mvec<int> beyond = positions({0, 2});
  TableIdx x;
  x.append(ElemIdx{1});
  TableValIdx out;
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] {
         VecData d;
         load_set(
             "field fa { protofile = rows.txt zlib = false }\n"
             "field fb { protofile = one.txt zlib = false }\n",
             d);
       },
       zdtest::MemoryError("IOFieldData::load_data",
                           dir + "one.txt: Could only read 1 samples out of a list that had 2 "
                                 "samples\n")},
      {[&] {
         ZDEvent::set_pedantic(1);
         VecData d;
         load_set(
             "field fa { protofile = rows.txt zlib = false }\n"
             "field fb { protofile = three.txt zlib = false }\n",
             d);
       },
       zdtest::Exact("IOFieldData::load_data: File " + dir +
                     "three.txt has too many lines\nData with 2 features. First is 3:1 . Last is "
                     "7:1 \n\nPedantic Error: Turn off pedantic flag if you do not want this error "
                     "to happen\n")},
      {[&] { ok.copy_field_parms(one); },
       zdtest::Exact(zdtest::UserError("VecData::copy_field_parms", "Number of fields varies\n"))},
      {[&] {
         VecData d;
         d.copy_field_parms(lists);
         d.nsamples = 7;
         d.load_supvec_data(table);
       },
       zdtest::Exact(zdtest::UserError("VecData::check_nidx",
                                       "Fields have different number of examples 2 7\n"))},
      {[&] {
         VecData d;
         d.copy_field_parms(lists);
         d.fields[1].parms = nopath;
         d.load_supvec_data(table);
       },
       zdtest::Exact(zdtest::UserError(
           "VecData::load_supvec_data",
           "No path for saved field data in field parms\n" + std::string(dump.c_str())))},
      {[&] { VecData().restrict_examples_to_veclist(ok, beyond, true); },
       zdtest::Exact(zdtest::UserError("FieldData::restrict_examples_to_veclist",
                                       "Sample position 2 is out of range: 2 samples\n"))},
      {[&] { ok.fields[0].set_dpline(out, x, beyond); },
       zdtest::Exact(zdtest::UserError("FieldData::set_dpline",
                                       "Sample position 2 is out of range: 2 samples\n"))},
      {[&] {
         ok.linenums.set_nitems(0);
         ok.fields[0].samples[1][0].index = 9;  // 9 then 4: no longer increasing
         ok.transpose_store(true, false, false, false, TMUL_MERGE);
       },
       zdtest::Exact(zdtest::UserError("VecData::transpose_store", "wrong index order"))},
  };
  for (const auto& c : cases) EXPECT_EXIT(c.first(), testing::ExitedWithCode(1), c.second);
}

}  // namespace
