// Multi-category model: the inverted-index decision, both scoring routes,
// supervisors and the sigmoid modes. Raw scores are worked out by hand.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <string>
#include <vector>

#include "../test_support.h"
#include "ZDmdata_api.h"

namespace {

const char kOneField[] =
    "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";

// Classifier i: weight 0.25 i on feature 0 and -0.5 on feature 4, output
// factor 2, bias -0.125 i. Raw outputs: {0}: 0.375 i; {0, 4}: 0.375 i - 1;
// {}: -0.125 i. Bare products: {0, 4}: 0.25 i - 0.5.
struct Loaded {
  std::string dir = zdtest::MakeTempDir();
  AnyParmListTable table;
  MultiCategData data;
  Mvec<const char*> names;
  std::string traces;

  Loaded(int n, const std::string& head, bool allow_index = true) {
    std::string parm = head;
    for (int i = 0; i < n; i++) {
      std::string c = std::to_string(i);
      parm += "classifier c" + c + " { kernels = { k0 } vecfile = { v" + c +
              ".txt } weights = { 2 } bias = " + std::to_string(-0.125 * i) + " }\n";
      zdtest::WriteFile(dir + "v" + c + ".txt", "vector w { type = weight field = 0 0 = " +
                                                    std::to_string(0.25 * i) + " 4 = -0.5 }\n");
    }
    zdtest::WriteFile(dir + "zanda.parm", parm);
    table.base_dir.init(dir.c_str());
    traces = zdtest::Captured(ZDEvent::tracefile, [&] {
      table.load_parameter_table((dir + "zanda.parm").c_str());
      data.load_mdl_parms(table, names, allow_index);
    });
  }

  // Scores of the sample with the given field-0 indices.
  std::vector<double> score(std::vector<int> idx, sigmoid_mode_t mode) {
    Mvec<TableIdx> samp(data.get_nsamp_fields());
    for (int i : idx) samp[0].append(ElemIdx{i});
    Mvec<double> outs;
    data.test_samp(samp, outs, mode);
    return std::vector<double>(outs.begin(), outs.end());
  }
};

TEST(MultiCategTest, ElevenLinearClassifiersBuildTheIndexAndBothRoutesAgree) {
  Loaded ten(10, kOneField), eleven(11, kOneField), refused(11, kOneField, false);
  EXPECT_FALSE(ten.data.use_index);
  EXPECT_FALSE(refused.data.use_index);
  EXPECT_TRUE(eleven.data.use_index);
  std::string names;
  for (int i = 0; i < 11; i++) names += "c" + std::to_string(i) + " ";
  // Columns 0..4 hold 11, 0, 0, 0 and 11 entries.
  EXPECT_NE(eleven.traces.find("Building inverted index for 1 fields\n"
                               "Creating a transpose table with 5 columns and 11 depth\n"
                               "Average column size is 0<=4.4<=11\n" +
                               names + "\nData 0: 11 classifiers \n********** LOADED 11 models\n"),
            std::string::npos)
      << eleven.traces;
  for (Loaded* m : {&ten, &eleven, &refused}) {
    std::vector<double> one = m->score({0}, SIGMOID_RAW), two = m->score({0, 4}, SIGMOID_RAW),
                        none = m->score({}, SIGMOID_RAW),
                        products = m->score({0, 4}, SIGMOID_PRODUCTS),
                        logistic = m->score({0}, SIGMOID_LOGISTIC);
    for (int i = 0; i < static_cast<int>(one.size()); i++) {
      EXPECT_DOUBLE_EQ(one[i], 0.375 * i);
      EXPECT_DOUBLE_EQ(two[i], 0.375 * i - 1);
      EXPECT_DOUBLE_EQ(none[i], -0.125 * i);
      EXPECT_DOUBLE_EQ(products[i], 0.25 * i - 0.5);
      EXPECT_DOUBLE_EQ(logistic[i], 1 / (std::exp(-0.375 * i) + 1));
    }
  }
  // A kernel restriction keeps the classifier route, which applies it: no
  // classifier has a restrict set, so every one fails the test.
  Loaded restricted(11,
                    "field f0 { }\nkernel k0 { type = linear restrict = 0 fields = { f0 } "
                    "weights = { 1 } }\n");
  EXPECT_FALSE(restricted.data.use_index);
  for (double raw : restricted.score({0, 4}, SIGMOID_RAW)) EXPECT_EQ(raw, -1e37);
}

TEST(MultiCategTest, SigmoidModes) {
  Mvec<double> x(6);
  const double in[] = {-86, 86, 0, -85, 85, 1};
  for (int i = 0; i < 6; i++) x[i] = in[i];
  apply_sigmoid(x, SIGMOID_LOGISTIC);
  const double out[] = {1e-37,
                        1.0,
                        0.5,
                        1 / (std::exp(85.0) + 1),
                        1 / (std::exp(-85.0) + 1),
                        1 / (std::exp(-1.0) + 1)};  // the bounds take the formula
  for (int i = 0; i < 6; i++) EXPECT_EQ(x[i], out[i]) << in[i];

  x.set_nitems(2);
  x[0] = x[1] = 3;
  apply_sigmoid(x, SIGMOID_SOFTMAX);
  EXPECT_EQ(x[0], 0.5);
  x[0] = 710;  // no shift by the maximum: exp overflows to inf, inf / inf
  x[1] = 0;
  apply_sigmoid(x, SIGMOID_SOFTMAX);
  EXPECT_TRUE(std::isnan(x[0]));
  for (sigmoid_mode_t mode : {SIGMOID_RAW, SIGMOID_PRODUCTS}) {
    x[0] = -200;
    apply_sigmoid(x, mode);
    EXPECT_EQ(x[0], -200);
  }
  Loaded m(11, kOneField);
  std::vector<double> soft = m.score({0}, SIGMOID_SOFTMAX);
  double sum = 0;
  for (int i = 0; i < 11; i++) sum += std::exp(0.375 * i);
  for (int i = 0; i < 11; i++) EXPECT_NEAR(soft[i], std::exp(0.375 * i) / sum, 1e-15);
}

TEST(MultiCategDeathTest, BadSamplesAndModes) {
  Loaded m(2,
           "field f0 { }\nfield f1 { }\n"
           "kernel k0 { type = linear fields = { f0 , f1 } weights = { 1 , 1 } }\n");
  Mvec<double> outs;
  const std::string label = "MultiCategData::test_samp";
  const std::pair<std::function<void()>, std::string> cases[] = {
      {[&] {
         ZDIO reader;
         reader.open_string("0\n");
         m.data.unifield_test_samp(reader, outs, SIGMOID_LOGISTIC);
       },
       zdtest::UserError(label, "Only one filed allowed")},
      {[&] {
         Mvec<TableIdx> one(1);
         m.data.test_samp(one, outs, SIGMOID_LOGISTIC);
       },
       zdtest::UserError(label, "Sample has 1 fields, the model reads 2\n")},
      {[&] {
         Mvec<TableIdx> two(2);
         m.data.test_samp(two, outs, sigmoid_mode_t(5));
       },
       zdtest::UserError("apply_sigmoid", "unknown sigmoid mode 5")},
  };
  for (const auto& c : cases) {
    EXPECT_EXIT(
        {
          ZDEvent::tracefile = nullptr;
          c.first();
        },
        testing::ExitedWithCode(1), zdtest::Exact(c.second));
  }
}

}  // namespace
