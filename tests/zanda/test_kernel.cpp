// Kernels: field weights, kernel functions and kernel lines of a query
// against support vectors. Expected values follow the kernel formulas.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDdata_kernel.h"
#include "ZDdata_parms.h"

namespace {

using Line = std::vector<std::pair<int, double>>;

TableValIdx line(const Line& v) {
  TableValIdx r;
  for (auto& e : v) r.append(ElemValIdx{e.first, static_cast<float>(e.second)});
  return r;
}

void expect_line(const TableValIdx& got, const Line& want) {
  ASSERT_EQ(got.nitems, static_cast<int>(want.size()));
  for (int i = 0; i < got.nitems; i++) {
    EXPECT_EQ(got[i].index, want[i].first);
    EXPECT_NEAR(got[i].value, want[i].second, 1e-5 * std::max(1.0, std::fabs(want[i].second)));
  }
}

// Model files in a fresh directory, compiled as the model loader does.
class KernelTest : public ::testing::Test {
 protected:
  std::string dir = zdtest::MakeTempDir();
  AnyParmListTable table;
  ModelParmCont cont;

  void SetUp() override { ZDEvent::verbose = 0; }
  void TearDown() override { ZDEvent::verbose = 1; }
  void load(const std::string& parm) {
    zdtest::WriteFile(dir + "zanda.parm", parm);
    table.base_dir.init(dir.c_str());
    table.load_parameter_table((dir + "zanda.parm").c_str());
  }
  KernelParmListComp comp(int k) const { return KernelParmListComp(cont.kernels[k]); }
};

TEST_F(KernelTest, FieldWeightsCompile) {
  load(
      "field f0 { protofile = a } field f1 { protofile = b } field f2 { protofile = c }\n"
      "kernel one { fields = { f1 } weights = { 0.2 } }\n"
      "kernel pm { fields = { f2, f0 } weights = { 1, -1 } }\n"
      "kernel many { fields = { f0, f1, f2 } weights = { 0.5, 2, 1 } }\n"
      "kernel sum { fields = { f0, f1 } weights = { 0.5, 0.7 } weights-sum-one = true }\n"
      "kernel zero { fields = { f0, f1 } weights = { 1, -1 } weights-sum-one = true }\n"
      "kernel exact { fields = { f0, f1 } weights = { 0.25, 0.75 } weights-sum-one = true }\n");
  EXPECT_EQ(zdtest::Captured(ZDEvent::warnfile, [&] { cont.init_parameters(table); }),
            "Field weights do not sum up to 1: 1.2\nField weights do not sum up to 1: 0\n");
  const std::vector<double> expected[] = {{0, 1, 0},                  // a single weight becomes 1
                                          {-1, 0, 1},                 // negative weights are kept
                                          {0.5, 2, 1},                //
                                          {0.5 / 1.2, 0.7 / 1.2, 0},  // rescaled to sum to one
                                          {0.5, 0.5, 0},              // evenly when the sum is 0
                                          {0.25, 0.75, 0}};  // kept, without warning, when it is 1
  const int single[] = {1, 2, -1, -1, -1, -1};
  for (int k = 0; k < 6; k++) {
    const Mvec<double>& w = cont.kernels[k].field_wts;
    ASSERT_EQ(w.size(), 3);
    for (int f = 0; f < 3; f++) EXPECT_DOUBLE_EQ(w[f], expected[k][f]) << k;
    EXPECT_EQ(cont.kernels[k].single_field, single[k]) << k;
  }
  EXPECT_DOUBLE_EQ(cont.kernels[3].weights.values[1], 0.7 / 1.2);
  Mvec<TableIdx> x(3);
  x[0].sqnorm = 2;
  x[1].sqnorm = 3;
  x[2].sqnorm = 5;
  EXPECT_DOUBLE_EQ(cont.kernels[0].compute_knorm(x), 3.0);  // single field, unweighted
  EXPECT_DOUBLE_EQ(cont.kernels[2].compute_knorm(x), 0.5 * 2 + 2 * 3 + 1 * 5);
}

// K(d) = (a d + b)^n - b^n for poly and quadratic (pow 0 squares), a d for
// linear, exp(-a (1 - d)) - exp(-a) for exp on cosines.
TEST_F(KernelTest, KernelFunctionsOnCosinesAndDotProducts) {
  load(
      "field f { }\n"
      "kernel p3 { type = poly pow = 3 fields = { f } weights = { 1 } }\n"
      "kernel q { type = quadratic b = 1 fields = { f } weights = { 1 } }\n"
      "kernel e2 { type = exp a = 2 fields = { f } weights = { 1 } }\n"
      "kernel p0 { type = poly pow = 0 b = 0.5 fields = { f } weights = { 1 } }\n"
      "kernel lin { type = linear b = 3 fields = { f } weights = { 1 } }\n"
      "kernel p4 { type = poly pow = 4 a = 0.5 b = 2 fields = { f } weights = { 1 } }\n");
  cont.init_parameters(table);
  const struct {
    int kernel;
    double d0, d1, k0, k1;
  } cases[] = {
      {0, 0.0, 1.0, 0.0, 7.0},
      {1, -0.5, 0.5, -0.75, 1.25},
      {2, -0.5, 1.0, std::exp(-2.0 * 1.5) - std::exp(-2.0), 1.0 - std::exp(-2.0)},
      {3, 0.5, 1.0, 0.75, 1.5 * 1.5 - 0.25},
      {4, 0.3, 1.0, 0.3, 1.0},
      {5, 0.0, 1.0, 0.0, 2.5 * 2.5 * 2.5 * 2.5 - 16.0},
  };
  for (const auto& c : cases) {
    EXPECT_NEAR(comp(c.kernel).prenorm_kernel(c.d0), c.k0, 1e-12) << c.kernel;
    EXPECT_NEAR(comp(c.kernel).prenorm_kernel(c.d1), c.k1, 1e-12) << c.kernel;
    TableValIdx l = line({{3, c.d0}, {9, c.d1}});  // the same on a line, in single precision
    comp(c.kernel).prenorm_kernel(l);
    expect_line(l, {{3, c.k0}, {9, c.k1}});
  }
  // On dot products exp uses the norms: exp(-(a/2)|X - Y|^2) - exp(-a), with
  // |X - Y|^2 = r^2 + k - 2d; the other kernels do not look at them.
  Mvec<double> rknorms(2);
  rknorms[0] = std::sqrt(2.0);
  rknorms[1] = std::sqrt(3.0);
  TableValIdx l = line({{0, 1.0}, {1, 2.0}});
  comp(2).base_kernel(l, rknorms, 3.0);
  expect_line(l, {{0, std::exp(-(2 + 3 - 2) * 1.0) - std::exp(-2.0)},
                  {1, std::exp(-(3 + 3 - 4) * 1.0) - std::exp(-2.0)}});
  l = line({{1, 2.0}});
  comp(0).base_kernel(l, rknorms, 3.0);
  expect_line(l, {{1, 26.0}});

  KernelParmListComp bad = comp(0);
  bad.type = 9;
  l = line({{0, 1.0}, {4, 0.5}});
  Mvec<double> none;
  const std::pair<std::function<void()>, std::string> errors[] = {
      {[&] { bad.prenorm_kernel(0.5); },
       zdtest::MemoryError("kernel_prenorm", "undefined kernel type 9")},
      {[&] { bad.prenorm_kernel(l); },
       zdtest::MemoryError("KernelVecData::set_kline", "undefined kernel type 9")},
      {[&] { comp(2).base_kernel(l, none, 1.0); },
       zdtest::MemoryError("KernelParmListComp::base_kernel", "norm not allocated 0 2")},
  };
  for (const auto& e : errors) EXPECT_EXIT(e.first(), testing::ExitedWithCode(1), e.second);
}

TEST_F(KernelTest, FieldWeightErrors) {
  const struct {
    std::string blocks, message;
    bool with_dump;
  } cases[] = {
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
  for (const auto& c : cases) {
    table = AnyParmListTable();
    load(c.blocks);
    Mvec<KernelParmList> kernels;
    table.fetch_typed_parms(kernels);
    string_t dump;
    std::string message = c.message + (c.with_dump ? kernels[0].dump(dump) : "");
    EXPECT_EXIT(cont.init_parameters(table), testing::ExitedWithCode(1),
                zdtest::Exact(zdtest::UserError("KernelParmList::check_field_weights", message)))
        << c.blocks;
  }
}

// Kernel lines of the query f0 {2,4}, f1 {7}, fn {2,4} against three support
// vectors over the fields
//   f0: {1,2} {2,3,4} {5}      f1: {7} {7,8} {9}      fn: as f0, normalised
TEST_F(KernelTest, KernelLinesOfJoinedAndSingleFields) {
  zdtest::WriteFile(dir + "a.txt", " 1 2\n 2 3 4\n 5\n");
  zdtest::WriteFile(dir + "b.txt", " 7\n 7 8\n 9\n");
  load(
      "field f0 { protofile = a.txt zlib = false }\n"
      "field f1 { protofile = b.txt zlib = false }\n"
      "field fn { protofile = a.txt zlib = false norm = true }\n"
      "kernel jlin { type = linear fields = { f0, f1 } weights = { 0.5, 2 } }\n"
      "kernel jexp { type = exp fields = { f0, f1 } weights = { 0.5, 2 } }\n"
      "kernel jcos { type = poly pow = 3 norm = true fields = { f0, f1 } weights = { 0.5, 2 } }\n"
      "kernel single { type = poly pow = 3 fields = { fn } weights = { 1 } }\n"
      "kernel singleraw { type = quadratic fields = { f1 } weights = { 1 } }\n");
  cont.init_parameters(table);
  VecData shared;
  shared.copy_field_parms(cont.field_parms);
  shared.load_supvec_data(table);
  Mvec<TableIdx> query(3);
  auto set_query = [&](const std::vector<std::vector<int>>& fields) {
    for (int f = 0; f < 3; f++) {
      query[f].set_nitems(0);
      for (int i : fields[f]) query[f].append(ElemIdx{i});
      cont.field_parms[f].normalize_samp(query[f]);
    }
  };
  auto prepare = [&](int k, KernelVecData& kd, bool norms) {
    Mvec<int> all;
    for (int j = 0; j < shared.nsamples; j++) all.append(j);
    kd.restrict_examples_to_veclist(shared, all, true);
    kd.transpose_store(true, false, false, false, TMUL_MERGE);
    kd.kparms = &cont.kernels[k];
    if (norms) kd.compute_rknorms();
  };
  auto kline = [&](int k) {
    KernelVecData kd;
    prepare(k, kd, true);
    TableValIdx l;
    kd.set_kline(l, query);
    return l;
  };
  set_query({{2, 4}, {7}, {2, 4}});

  KernelVecData kd;
  prepare(1, kd, true);  // norms in kernel space: 0.5 |f0|^2 + 2 |f1|^2
  EXPECT_DOUBLE_EQ(kd.rknorms[0], std::sqrt(0.5 * 2 + 2 * 1));
  EXPECT_DOUBLE_EQ(kd.rknorms[1], std::sqrt(0.5 * 3 + 2 * 2));
  EXPECT_DOUBLE_EQ(kd.rknorms[2], std::sqrt(0.5 * 1 + 2 * 1));
  // Weighted dot products 0.5 * 1 + 2 * 1 and 0.5 * 2 + 2 * 1; vector 2 shares nothing.
  expect_line(kline(0), {{0, 2.5}, {1, 3.0}});
  // Query norm 0.5 * 2 + 2 * 1 = 3; vector norms 3 and 5.5.
  expect_line(kline(1), {{0, std::exp(2.5 - (3 + 3) / 2.0) - std::exp(-1.0)},
                         {1, std::exp(3.0 - (5.5 + 3) / 2.0) - std::exp(-1.0)}});
  double c0 = 2.5 / std::sqrt(3.0 * 3.0), c1 = 3.0 / std::sqrt(5.5 * 3.0);
  expect_line(kline(2), {{0, std::pow(c0 + 1, 3) - 1}, {1, std::pow(c1 + 1, 3) - 1}});
  // Cosines of the normalised field: 1 / (sqrt 2 sqrt 2) and 2 / (sqrt 2 sqrt 3).
  expect_line(kline(3), {{0, 1.5 * 1.5 * 1.5 - 1}, {1, std::pow(2 / std::sqrt(6.0) + 1, 3) - 1}});
  expect_line(kline(4), {{0, 3.0}, {1, 3.0}});  // (d + 1)^2 - 1 on f1 alone

  KernelVecData unnormed;  // a normalised single field needs no precomputed norms
  prepare(3, unnormed, false);
  TableValIdx l;
  unnormed.set_kline(l, query);
  EXPECT_EQ(l.nitems, 2);
  KernelVecData joined;
  prepare(1, joined, false);
  EXPECT_EXIT(
      joined.set_kline(l, query), testing::ExitedWithCode(1),
      zdtest::Exact(zdtest::UserError("KernelVecData::set_kline", "rknorms must be precomputed")));

  set_query({{}, {}, {}});  // no feature, or no support vector: an empty line
  for (int k = 0; k < 5; k++) EXPECT_EQ(kline(k).nitems, 0) << k;
  KernelVecData none;
  none.kparms = &cont.kernels[0];
  l = line({{1, 1.0}});
  none.set_kline(l, query);
  EXPECT_EQ(l.nitems, 0);
}

}  // namespace
