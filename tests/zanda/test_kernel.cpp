#include <gtest/gtest.h>
#include <stdlib.h>

#include <cmath>
#include <fstream>
#include <string>
#include <vector>

#include "ZDdata_kernel.h"
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
const char kMemoryErr[] = "\nMemory Error: Please send error message to ";

// Model files in a fresh directory (ending in '/'), compiled as the model
// loader does: field blocks, kernel blocks, then the field weights.
class KernelTest : public ::testing::Test {
 protected:
  std::string dir;
  AnyParmListTable table;

  void SetUp() override {
    std::string tmpl = ::testing::TempDir() + "kernelXXXXXX";
    ASSERT_NE(mkdtemp(tmpl.data()), nullptr);
    dir = tmpl + "/";
    ZDEvent::verbose = 0;  // loading traces would flood the test output
  }
  void TearDown() override { ZDEvent::verbose = 1; }

  void write(const std::string& name, const std::string& text) {
    std::ofstream(dir + name) << text;
  }

  void load_table(const std::string& parm) {
    write("zanda.parm", parm);
    table.base_dir.init(dir.c_str());
    table.load_parameter_table((dir + "zanda.parm").c_str());
  }

  // Message tail of a check_field_weights error: the dump of kernel k as read.
  std::string kernel_dump(int k) {
    Mvec<KernelParmList> lists;
    table.fetch_typed_parms(lists);
    string_t text;
    return lists[k].dump(text);
  }
};

const char kThreeFields[] =
    "field f0 { protofile = a.txt }\n"
    "field f1 { protofile = b.txt }\n"
    "field f2 { protofile = c.txt }\n";

TEST_F(KernelTest, FieldWeightsCompile) {
  load_table(std::string(kThreeFields) +
             "kernel one { fields = { f1 } weights = { 0.2 } }\n"
             "kernel pm { fields = { f2, f0 } weights = { 1, -1 } }\n"
             "kernel many { fields = { f0, f1, f2 } weights = { 0.5, 2, 1 } }\n"
             "kernel sum { fields = { f0, f1 } weights = { 0.5, 0.7 } weights-sum-one = true }\n"
             "kernel zero { fields = { f0, f1 } weights = { 1, -1 } weights-sum-one = true }\n"
             "kernel exact { fields = { f0, f1 } weights = { 0.25, 0.75 } weights-sum-one = true "
             "}\n");
  ModelParmCont cont;
  testing::internal::CaptureStderr();
  cont.init_parameters(table);
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Field weights do not sum up to 1: 1.2\nField weights do not sum up to 1: 0\n");
  ASSERT_EQ(cont.kernels.nitems, 6);
  auto wts = [&](int k) {
    const Mvec<double>& w = cont.kernels[k].field_wts;
    return std::vector<double>(w.begin(), w.end());
  };

  // A single weight becomes 1 whatever it was.
  EXPECT_EQ(cont.kernels[0].single_field, 1);
  EXPECT_EQ(wts(0), (std::vector<double>{0, 1, 0}));
  // Negative weights are accepted; the only positive one is the single field.
  EXPECT_EQ(cont.kernels[1].single_field, 2);
  EXPECT_EQ(wts(1), (std::vector<double>{-1, 0, 1}));
  EXPECT_EQ(cont.kernels[2].single_field, -1);
  EXPECT_EQ(wts(2), (std::vector<double>{0.5, 2, 1}));
  // Rescaled to sum to one: by the sum, or evenly when the sum is 0.
  EXPECT_EQ(cont.kernels[3].single_field, -1);
  EXPECT_DOUBLE_EQ(wts(3)[0], 0.5 / 1.2);
  EXPECT_DOUBLE_EQ(wts(3)[1], 0.7 / 1.2);
  EXPECT_DOUBLE_EQ(cont.kernels[3].weights.values[1], 0.7 / 1.2);
  EXPECT_EQ(wts(4), (std::vector<double>{0.5, 0.5, 0}));
  EXPECT_EQ(wts(5), (std::vector<double>{0.25, 0.75, 0}));

  Mvec<TableIdx> x(3);
  x[0].sqnorm = 2;
  x[1].sqnorm = 3;
  x[2].sqnorm = 5;
  EXPECT_DOUBLE_EQ(cont.kernels[0].compute_knorm(x), 3.0);  // single field, unweighted
  EXPECT_DOUBLE_EQ(cont.kernels[1].compute_knorm(x), 5.0);
  EXPECT_DOUBLE_EQ(cont.kernels[2].compute_knorm(x), 0.5 * 2 + 2 * 3 + 1 * 5);
}

TEST_F(KernelTest, FieldWeightErrors) {
  struct Case {
    std::string blocks;
    std::string message;
    bool with_dump;
  };
  const Case cases[] = {
      {"kernel k { fields = { f0 } weights = { 1 } }\n", "No data fields when loading kernel\n",
       true},
      {"field f0 { }\nkernel k { weights = { 1 } }\n", "Kernel requires at list one field!\n",
       true},
      {"field f0 { }\nfield f1 { }\nkernel k { fields = { f0, f1 } weights = { 1 } }\n",
       "Number of  field weights (1) does not match number of fields names (2)\n", true},
      {"field f0 { }\nfield f1 { }\nkernel k { fields = { f0, f1 } weights = { 1, 0 } }\n",
       "Field 1 with NULL weight not allowed\n", false},
      {"field f0 { }\nkernel k { fields = { fx } weights = { 1 } }\n",
       "Field names fx does not exist\n", true},
  };
  for (const Case& c : cases) {
    table = AnyParmListTable();
    load_table(c.blocks);
    std::string expected = "KernelParmList::check_field_weights: " + c.message +
                           (c.with_dump ? kernel_dump(0) : "") + kUserErr;
    EXPECT_EXIT(
        {
          ModelParmCont cont;
          cont.init_parameters(table);
        },
        ::testing::ExitedWithCode(1), "^" + quote(expected) + "$")
        << c.blocks;
  }
}

// Kernel functions of the kernels of `parm`, by position.
class CompTest : public KernelTest {
 protected:
  ModelParmCont cont;

  void SetUp() override {
    KernelTest::SetUp();
    load_table(
        "field f { }\n"
        "kernel p3 { type = poly pow = 3 fields = { f } weights = { 1 } }\n"
        "kernel q { type = quadratic b = 1 fields = { f } weights = { 1 } }\n"
        "kernel e2 { type = exp a = 2 fields = { f } weights = { 1 } }\n"
        "kernel p0 { type = poly pow = 0 b = 0.5 fields = { f } weights = { 1 } }\n"
        "kernel lin { type = linear b = 3 fields = { f } weights = { 1 } }\n"
        "kernel p4 { type = poly pow = 4 a = 0.5 b = 2 fields = { f } weights = { 1 } }\n");
    cont.init_parameters(table);
  }

  KernelParmListComp comp(int k) const { return KernelParmListComp(cont.kernels[k]); }
};

TableValIdx line(std::vector<std::pair<int, float>> v) {
  TableValIdx r;
  for (auto& e : v) r.append(ElemValIdx{e.first, e.second});
  return r;
}

TEST_F(CompTest, OffsetsAndDegrees) {
  EXPECT_EQ(comp(0).degree(), 3);
  EXPECT_DOUBLE_EQ(comp(0).c0, 1.0);  // b^3
  EXPECT_DOUBLE_EQ(comp(1).c0, 1.0);  // b^2
  EXPECT_DOUBLE_EQ(comp(2).c0, std::exp(-2.0));
  EXPECT_EQ(comp(3).degree(), 2);  // pow 0 squares
  EXPECT_DOUBLE_EQ(comp(3).c0, 0.25);
  EXPECT_DOUBLE_EQ(comp(4).c0, 0.0);
  EXPECT_EQ(comp(5).degree(), 4);
  EXPECT_DOUBLE_EQ(comp(5).c0, 16.0);
  KernelParmListComp c = comp(0);
  c.p = 1;
  EXPECT_EQ(c.degree(), 1);
  c.p = 2;
  EXPECT_EQ(c.degree(), 2);
  c.p = -3;
  EXPECT_EQ(c.degree(), 2);
}

TEST_F(CompTest, KernelValuesOnCosines) {
  // Orthogonal normalised vectors score 0; identical ones (a + b)^n - b^n.
  EXPECT_DOUBLE_EQ(comp(0).prenorm_kernel(0.0), 0.0);
  EXPECT_DOUBLE_EQ(comp(0).prenorm_kernel(1.0), 7.0);
  EXPECT_DOUBLE_EQ(comp(1).prenorm_kernel(0.5), 1.25);
  EXPECT_DOUBLE_EQ(comp(2).prenorm_kernel(1.0), 1.0 - std::exp(-2.0));
  EXPECT_DOUBLE_EQ(comp(2).prenorm_kernel(0.0), 0.0);
  EXPECT_DOUBLE_EQ(comp(3).prenorm_kernel(0.5), 0.75);
  EXPECT_DOUBLE_EQ(comp(4).prenorm_kernel(0.3), 0.3);
  EXPECT_DOUBLE_EQ(comp(5).prenorm_kernel(1.0), 2.5 * 2.5 * 2.5 * 2.5 - 16.0);

  // The same on whole lines, in single precision.
  struct Case {
    int kernel;
    float d0, d1;
    double k0, k1;
  };
  const Case cases[] = {
      {0, 0.0f, 1.0f, 0.0, 7.0},
      {1, -0.5f, 0.5f, -0.75, 1.25},
      {2, -0.5f, 1.0f, std::exp(-2.0 * 1.5) - std::exp(-2.0), 1.0 - std::exp(-2.0)},
      {3, 0.0f, 1.0f, 0.0, 1.5 * 1.5 - 0.25},
      {4, 0.0f, 1.0f, 0.0, 1.0},
      {5, 0.0f, 1.0f, 0.0, 23.0625},
  };
  for (const Case& c : cases) {
    TableValIdx l = line({{3, c.d0}, {9, c.d1}});
    comp(c.kernel).prenorm_kernel(l);
    ASSERT_EQ(l.nitems, 2);
    EXPECT_EQ(l[0].index, 3);
    EXPECT_EQ(l[1].index, 9);
    EXPECT_NEAR(l[0].value, c.k0, 1e-6) << c.kernel;
    EXPECT_NEAR(l[1].value, c.k1, 1e-6) << c.kernel;
  }
}

TEST_F(CompTest, KernelValuesOnDotProducts) {
  // exp: exp(-(a/2)|X - Y|^2) - exp(-a), |X - Y|^2 = r^2 + k - 2d.
  Mvec<double> rknorms(3);
  rknorms[0] = std::sqrt(2.0);
  rknorms[1] = std::sqrt(3.0);
  rknorms[2] = 1.0;
  TableValIdx l = line({{0, 1.0f}, {1, 2.0f}});
  comp(2).base_kernel(l, rknorms, 3.0);
  EXPECT_NEAR(l[0].value, std::exp(-(2 + 3 - 2) * 1.0) - std::exp(-2.0), 1e-7);
  EXPECT_NEAR(l[1].value, std::exp(-(3 + 3 - 4) * 1.0) - std::exp(-2.0), 1e-7);
  // The other kernels do not look at the norms.
  l = line({{2, 2.0f}});
  comp(0).base_kernel(l, rknorms, 3.0);
  EXPECT_FLOAT_EQ(l[0].value, 26.0f);
  l = line({{2, 2.0f}});
  comp(4).base_kernel(l, rknorms, 3.0);
  EXPECT_FLOAT_EQ(l[0].value, 2.0f);
}

TEST_F(CompTest, KernelFunctionErrors) {
  KernelParmListComp bad = comp(0);
  bad.type = 9;
  TableValIdx l = line({{0, 1.0f}, {4, 0.5f}});
  Mvec<double> none;
  EXPECT_EXIT(bad.prenorm_kernel(0.5), ::testing::ExitedWithCode(1),
              "^" + quote(std::string("kernel_prenorm: undefined kernel type 9") + kMemoryErr));
  EXPECT_EXIT(
      bad.prenorm_kernel(l), ::testing::ExitedWithCode(1),
      "^" + quote(std::string("KernelVecData::set_kline: undefined kernel type 9") + kMemoryErr));
  EXPECT_EXIT(comp(2).base_kernel(l, none, 1.0), ::testing::ExitedWithCode(1),
              "^" + quote(std::string("KernelParmListComp::base_kernel: norm not allocated 0 2") +
                          kMemoryErr));
}

// Kernel lines of a query against three support vectors over the fields
//   f0: {1,2} {2,3,4} {5}      f1: {7} {7,8} {9}      fn: as f0, normalised
// with the query f0 {2,4}, f1 {7}, fn {2,4}.
class KlineTest : public KernelTest {
 protected:
  ModelParmCont cont;
  VecData shared;
  Mvec<TableIdx> query;

  void SetUp() override {
    KernelTest::SetUp();
    write("a.txt", " 1 2\n 2 3 4\n 5\n");
    write("b.txt", " 7\n 7 8\n 9\n");
    load_table(
        "field f0 { protofile = a.txt zlib = false }\n"
        "field f1 { protofile = b.txt zlib = false }\n"
        "field fn { protofile = a.txt zlib = false norm = true }\n"
        "kernel jlin { type = linear fields = { f0, f1 } weights = { 0.5, 2 } }\n"
        "kernel jexp { type = exp fields = { f0, f1 } weights = { 0.5, 2 } }\n"
        "kernel jcos { type = poly pow = 3 norm = true fields = { f0, f1 } weights = { 0.5, 2 } "
        "}\n"
        "kernel single { type = poly pow = 3 fields = { fn } weights = { 1 } }\n"
        "kernel singleraw { type = quadratic fields = { f1 } weights = { 1 } }\n");
    cont.init_parameters(table);
    shared.copy_field_parms(cont.field_parms);
    shared.load_supvec_data(table);
    set_query({{2, 4}, {7}, {2, 4}});
  }

  void set_query(const std::vector<std::vector<int>>& fields) {
    query.set_nitems(3);
    for (int f = 0; f < 3; f++) {
      query[f].set_nitems(0);
      for (int i : fields[f]) query[f].append(ElemIdx{i});
      cont.field_parms[f].normalize_samp(query[f]);
    }
  }

  // The support vectors of kernel k, ready for kernel lines.
  void prepare(int k, KernelVecData& kd, bool norms = true) {
    Mvec<int> all;
    for (int j = 0; j < shared.nsamples; j++) all.append(j);
    kd.restrict_examples_to_veclist(shared, all, true);
    kd.transpose_store(true, false, false, false, TMUL_MERGE);
    kd.kparms = &cont.kernels[k];
    if (norms) kd.compute_rknorms();
  }

  std::vector<std::pair<int, double>> kline(int k) {
    KernelVecData kd;
    prepare(k, kd);
    TableValIdx l;
    kd.set_kline(l, query);
    std::vector<std::pair<int, double>> r;
    for (const ElemValIdx& e : l) r.emplace_back(e.index, e.value);
    return r;
  }
};

void expect_line(const std::vector<std::pair<int, double>>& got,
                 const std::vector<std::pair<int, double>>& want) {
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < want.size(); i++) {
    EXPECT_EQ(got[i].first, want[i].first);
    EXPECT_NEAR(got[i].second, want[i].second, 1e-5 * std::max(1.0, std::fabs(want[i].second)));
  }
}

TEST_F(KlineTest, KernelSpaceNorms) {
  KernelVecData kd;
  prepare(1, kd);
  ASSERT_EQ(kd.rknorms.nitems, 3);
  EXPECT_DOUBLE_EQ(kd.rknorms[0], std::sqrt(0.5 * 2 + 2 * 1));
  EXPECT_DOUBLE_EQ(kd.rknorms[1], std::sqrt(0.5 * 3 + 2 * 2));
  EXPECT_DOUBLE_EQ(kd.rknorms[2], std::sqrt(0.5 * 1 + 2 * 1));
  KernelVecData single;
  prepare(4, single);
  EXPECT_DOUBLE_EQ(single.rknorms[1], std::sqrt(2.0));  // field f1 alone, unweighted
}

TEST_F(KlineTest, UnnormalisedJoin) {
  // Weighted dot products: 0.5 * 1 + 2 * 1 and 0.5 * 2 + 2 * 1; vector 2 shares nothing.
  expect_line(kline(0), {{0, 2.5}, {1, 3.0}});
  // Query norm 0.5 * 2 + 2 * 1 = 3; vector norms 3 and 5.5.
  expect_line(kline(1), {{0, std::exp(2.5 - (3 + 3) / 2.0) - std::exp(-1.0)},
                         {1, std::exp(3.0 - (5.5 + 3) / 2.0) - std::exp(-1.0)}});
  // A single unnormalised field: (d + 1)^2 - 1 on f1 alone.
  expect_line(kline(4), {{0, 3.0}, {1, 3.0}});
}

TEST_F(KlineTest, NormalisedJoinAndSingleField) {
  double c0 = 2.5 / std::sqrt(3.0 * 3.0), c1 = 3.0 / std::sqrt(5.5 * 3.0);
  expect_line(kline(2), {{0, std::pow(c0 + 1, 3) - 1}, {1, std::pow(c1 + 1, 3) - 1}});
  // Cosines of the normalised field: 1 / (sqrt 2 sqrt 2) and 2 / (sqrt 2 sqrt 3).
  expect_line(kline(3), {{0, 1.5 * 1.5 * 1.5 - 1}, {1, std::pow(2 / std::sqrt(6.0) + 1, 3) - 1}});

  // The normalised single field needs no precomputed norms.
  KernelVecData kd;
  prepare(3, kd, false);
  TableValIdx l;
  kd.set_kline(l, query);
  EXPECT_EQ(l.nitems, 2);
}

TEST_F(KlineTest, QueryWithoutFeaturesGivesEmptyLine) {
  set_query({{}, {}, {}});
  for (int k = 0; k < 5; k++) EXPECT_TRUE(kline(k).empty()) << k;
  KernelVecData none;  // and a set without support vectors
  none.kparms = &cont.kernels[0];
  TableValIdx l = line({{1, 1.0f}});
  none.set_kline(l, query);
  EXPECT_EQ(l.nitems, 0);
}

TEST_F(KlineTest, NormsMustBePrecomputed) {
  KernelVecData kd;
  prepare(1, kd, false);
  TableValIdx l;
  EXPECT_EXIT(
      kd.set_kline(l, query), ::testing::ExitedWithCode(1),
      "^" + quote(std::string("KernelVecData::set_kline: rknorms must be precomputed") + kUserErr) +
          "$");
}

}  // namespace
