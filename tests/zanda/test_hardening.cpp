// Regressions found by fuzzing: bin numbers and field numbers at the top of
// the int range.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDdata_io.h"
#include "Zanda_api.h"

namespace {

// A bstump bin of INT_MAX asks for INT_MAX levels (not INT_MAX + 1, which
// would overflow): more than the stump tables allow.
TEST(HardeningDeathTest, BstumpBinAtTheTopOfTheIntRangeIsRefused) {
  std::string dir = zdtest::MakeTempDir();
  zdtest::WriteFile(dir + "data", " 1 2147483647\n 0 1\n");
  auto load = [&] {
    FieldParmList parms;
    parms.type.value.init("bstump");
    parms.zlib.value = false;
    parms.protofile.value.init("data");
    parms.special_prepro();
    Mvec<FieldParmList> list;
    list.append(parms);
    VecData set;
    set.copy_field_parms(list);
    AnyParmListTable table;
    table.base_dir.init(dir.c_str());
    set.load_supvec_data(table);
  };
  EXPECT_EXIT(load(), testing::ExitedWithCode(1),
              zdtest::Exact(zdtest::DataError(
                  "InputDataHandler::update_stump",
                  "stump bins ask for 2147483649 levels, more than the 1048576 allowed\n")));
}

// The scores of every class of the model in `dir` for the sample {1}.
std::vector<double> ScoresOfFeatureOne(const std::string& dir) {
  ZandaModelAPI model;
  model.load_mdl_parms(dir.c_str());
  const int n = model.get_nfiers();
  std::vector<double> outs(static_cast<size_t>(n));
  std::vector<int> ranks(static_cast<size_t>(n));
  int sample[] = {1};
  model.test_samp(sample, 1, outs.data(), ranks.data());
  return outs;
}

const char kFarAndNearVectors[] =
    "vector far { type = weight field = 2147483647 1 = 7 }\n"
    "vector near { type = weight field = 0 1 = 2 }\n";

// A weight vector of a field that no kernel reads costs nothing and scores
// nothing: the class keeps the score of its field-0 vector alone,
// sigmoid(2 - 0.5) for a sample holding feature 1.
TEST(HardeningTest, WeightVectorsOfFieldsBeyondTheModelAreLeftOut) {
  const std::vector<double> outs = ScoresOfFeatureOne(zdtest::OneClassModel(kFarAndNearVectors));
  ASSERT_EQ(outs.size(), 1u);
  EXPECT_DOUBLE_EQ(outs[0], 1.0 / (1.0 + std::exp(-1.5)));
}

// The same on the inverted index route, taken by more than ten linear
// classes on one kernel: every class scores sigmoid(2 - 0.5).
TEST(HardeningTest, IndexLeavesOutFieldsBeyondTheModel) {
  std::string dir = zdtest::OneClassModel(kFarAndNearVectors);
  std::string parm =
      "field f0 { zlib = false }\n"
      "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";
  for (int c = 0; c < 12; c++)
    parm += "classifier c" + std::to_string(c) +
            " { kernels = { k0 } vecfile = { w.txt } weights = { 1 } bias = -0.5 }\n";
  zdtest::WriteFile(dir + "zanda.parm", parm);
  const std::vector<double> outs = ScoresOfFeatureOne(dir);
  ASSERT_EQ(outs.size(), 12u);
  for (double out : outs) EXPECT_DOUBLE_EQ(out, 1.0 / (1.0 + std::exp(-1.5)));
}

// A restriction on field INT_MAX would need a sample of INT_MAX + 1 fields.
TEST(HardeningDeathTest, RestrictionOnFieldIntMaxIsRefused) {
  std::string dir = zdtest::OneClassModel("vector near { type = weight field = 0 1 = 2 }\n");
  zdtest::WriteFile(dir + "zanda.parm",
                    "field f0 { zlib = false }\n"
                    "kernel k0 { type = linear fields = { f0 } weights = { 1 } "
                    "restrict = 2147483647 }\n"
                    "classifier c0 { kernels = { k0 } vecfile = { w.txt } weights = { 1 } }\n");
  EXPECT_EXIT(ScoresOfFeatureOne(dir), testing::ExitedWithCode(1),
              "MultiCategData::get_nsamp_fields: kernel k0 restricts field 2147483647, "
              "beyond any sample");
}

}  // namespace
