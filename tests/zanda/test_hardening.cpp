// Regressions found by fuzzing: bin numbers and field numbers at the top of
// the int range.
#include <gtest/gtest.h>

#include <cmath>
#include <string>

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

// A weight vector of a field that no kernel reads costs nothing and scores
// nothing: the class keeps the score of its field-0 vector alone,
// sigmoid(2 - 0.5) for a sample holding feature 1.
TEST(HardeningTest, WeightVectorsOfFieldsBeyondTheModelAreLeftOut) {
  std::string dir = zdtest::OneClassModel(
      "vector far { type = weight field = 2147483647 1 = 7 }\n"
      "vector near { type = weight field = 0 1 = 2 }\n");
  ZandaModelAPI model;
  model.load_mdl_parms(dir.c_str());
  int sample[] = {1};
  double out = 0;
  int rank = 0;
  model.test_samp(sample, 1, &out, &rank);
  EXPECT_DOUBLE_EQ(out, 1.0 / (1.0 + std::exp(-1.5)));
}

}  // namespace
