// Supervisors, multi-category loading (index decision, traces) and scoring on
// both routes. Raw scores are worked out by hand from the weights written by
// the tests.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

#include "ZDmdata_api.h"
#include "ZDmult_classnames.h"

namespace multitest {

// Regex that matches exactly `text`.
std::string Exact(const std::string& text) {
  std::string re = "^";
  for (char c : text) {
    if (strchr(".[]()*+?{}|^$\\", c)) re += '\\';
    re += c;
  }
  return re + "$";
}

// A fresh directory (with a trailing slash) under the test temp dir.
std::string MakeTempDir() {
  std::string pattern = ::testing::TempDir() + "multiXXXXXX";
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back(0);
  EXPECT_NE(mkdtemp(buf.data()), nullptr);
  return std::string(buf.data()) + "/";
}

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

// Runs `body` with the trace stream on a temporary file and returns what it wrote.
template <class F>
std::string CaptureTraces(F body) {
  FILE* saved = ZDEvent::tracefile;
  FILE* tmp = tmpfile();
  ZDEvent::tracefile = tmp;
  body();
  ZDEvent::tracefile = saved;
  std::string text;
  rewind(tmp);
  for (int c; (c = fgetc(tmp)) != EOF;) text += static_cast<char>(c);
  fclose(tmp);
  return text;
}

}  // namespace multitest

namespace {

using multitest::CaptureTraces;
using multitest::Exact;
using multitest::MakeTempDir;
using multitest::WriteFile;

const std::string kUserLine = "Please verify first your input model and your data\n";

// A parameter table read from `parm`, with `files` (name, content) beside it.
struct Model {
  std::string dir = MakeTempDir();
  AnyParmListTable table;

  explicit Model(const std::string& parm,
                 const std::vector<std::pair<std::string, std::string>>& files = {}) {
    WriteFile(dir + "zanda.parm", parm);
    for (const auto& f : files) WriteFile(dir + f.first, f.second);
    table.base_dir.init(dir.c_str());
    CaptureTraces([&] { table.load_parameter_table((dir + "zanda.parm").c_str()); });
  }
};

// ---- supervisors ----

const char kSupervisors[] =
    "supervisor a { p = sports }\n"
    "kernel k { type = linear }\n"
    "supervisor b { p = news n = sports clf = explicit }\n"
    "supervisor c { n = weather }\n"
    "supervisor d { }\n";

TEST(MultiSuperTest, KindsDisplayNamesAndGeneratedClassifierNames) {
  Model m(kSupervisors);
  MultiSuper super;
  int first = SupervisorParmList::filecount;
  std::string traces = CaptureTraces([&] { EXPECT_TRUE(super.init_categs(m.table)); });

  ASSERT_EQ(super.supervisors.size(), 4);
  const int kinds[] = {2, 1, 0, 0};
  const char* shown[] = {"sports", "news#sports", "", ""};
  for (int i = 0; i < 4; i++) {
    EXPECT_EQ(super.supervisors[i].label_kind, kinds[i]) << i;
    EXPECT_STREQ(super.supervisors[i].display_name.c_str(), shown[i]) << i;
  }
  // Only supervisors without "clf" take a number, in order.
  Mvec<const char*> names;
  super.get_classifier_names(names);
  ASSERT_EQ(names.size(), 4);
  EXPECT_EQ(std::string(names[0]), "clf" + std::to_string(first));
  EXPECT_STREQ(names[1], "explicit");
  EXPECT_EQ(std::string(names[2]), "clf" + std::to_string(first + 1));
  EXPECT_EQ(std::string(names[3]), "clf" + std::to_string(first + 2));
  EXPECT_EQ(SupervisorParmList::filecount, first + 3);

  // Classes in order of first mention, whether in "p" or "n".
  EXPECT_EQ(traces, "Initialized 4 classifiers  for 3 classes\nClasses: sports news weather \n");
  ASSERT_EQ(super.categories.size(), 3);
  EXPECT_STREQ(super.categories[2].c_str(), "weather");

  // The supervisor blocks are taken out of the table; the kernel block stays.
  int left = 0;
  for (const AnyParmList& block : m.table.blocks) left += block.type != nullptr;
  EXPECT_EQ(left, 1);

  super.set_classifier_strings(names);
  ASSERT_EQ(super.classifier_strings.size(), 4);
  for (int i = 0; i < 4; i++) EXPECT_STREQ(super.classifier_strings[i].c_str(), shown[i]);
}

TEST(MultiSuperTest, NegativeCategoryMentionedFirstComesFirst) {
  Model m("supervisor x { n = zeta }\nsupervisor y { p = alpha n = zeta clf = y }\n");
  MultiSuper super;
  CaptureTraces([&] { super.init_categs(m.table); });
  ASSERT_EQ(super.categories.size(), 2);
  EXPECT_STREQ(super.categories[0].c_str(), "zeta");
  EXPECT_STREQ(super.categories[1].c_str(), "alpha");
  EXPECT_STREQ(super.supervisors[1].display_name.c_str(), "alpha#zeta");
}

TEST(MultiSuperTest, WithoutSupervisorsTheNamesAreKept) {
  Model m("kernel k { type = linear }\n");
  MultiSuper super;
  std::string traces = CaptureTraces([&] { EXPECT_FALSE(super.init_categs(m.table)); });
  EXPECT_EQ(traces, "No classifiers: will look for classes in label files\n");

  Mvec<const char*> names;
  super.get_classifier_names(names);
  EXPECT_EQ(names.size(), 0);
  const char* loaded[] = {"first", "second"};
  names.set_nitems(2);
  names[0] = loaded[0];
  names[1] = loaded[1];
  super.set_classifier_strings(names);
  ASSERT_EQ(super.classifier_strings.size(), 2);
  EXPECT_STREQ(super.classifier_strings[0].c_str(), "first");
  EXPECT_STREQ(super.classifier_strings[1].c_str(), "second");
}

// The dump shows p and clf always, n and the statistics only when set.
TEST(MultiSuperTest, DumpAndDescriptions) {
  Model m(
      "supervisor b { p = news n = sports clf = explicit }\nsupervisor c { p = news niter = 3 }\n");
  MultiSuper super;
  CaptureTraces([&] { super.init_categs(m.table); });
  string_t out;
  EXPECT_STREQ(super.supervisors[0].dump(out),
               "supervisor b { \n\t p=\"news\"\n\t n=\"sports\"\n\t clf=explicit }\n");
  std::string second = super.supervisors[1].dump(out);
  EXPECT_NE(second.find("\n\t niter=3 }\n"), std::string::npos) << second;
  EXPECT_EQ(second.find("n=\""), std::string::npos) << second;

  Mvec<ParmDescription> descriptions;
  super.supervisors[0].build_description(descriptions);
  const char* keys[] = {"p", "n", "clf", "ntrain", "niter", "prior", "bin-err"};
  ASSERT_EQ(descriptions.size(), 7);
  for (int i = 0; i < 7; i++) EXPECT_STREQ(descriptions[i].name, keys[i]);
  EXPECT_STREQ(descriptions[0].comment, "Positive category");
  EXPECT_STREQ(descriptions[6].comment, "estimated binary error. ");
}

// ---- loading ----

// Classifier i: weight 0.25 i on feature 0 and -0.5 on feature 4, output
// factor 2, bias -0.125 i. Raw outputs: {0}: 0.375 i; {0, 4}: 0.375 i - 1;
// {}: -0.125 i. Bare products: {0}: 0.25 i; {0, 4}: 0.25 i - 0.5.
std::string LinearParm(int n, const std::string& head, bool two_kernels = false) {
  std::string parm = head;
  for (int i = 0; i < n; i++) {
    char buf[256];
    snprintf(buf, sizeof buf,
             "classifier c%d { kernels = { %s } vecfile = { v%d.txt } weights = { 2 } bias = %g "
             "}\n",
             i, two_kernels && i % 2 ? "k1" : "k0", i, -0.125 * i);
    parm += buf;
  }
  return parm;
}

std::vector<std::pair<std::string, std::string>> LinearVectors(int n) {
  std::vector<std::pair<std::string, std::string>> files;
  for (int i = 0; i < n; i++) {
    char buf[128];
    snprintf(buf, sizeof buf, "vector w { type = weight field = 0 0 = %g 4 = -0.5 }\n", 0.25 * i);
    files.push_back({"v" + std::to_string(i) + ".txt", buf});
  }
  return files;
}

const char kOneField[] =
    "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";

struct Loaded {
  Model model;
  MultiCategData data;
  Mvec<const char*> names;
  std::string traces;

  Loaded(const std::string& parm, const std::vector<std::pair<std::string, std::string>>& files,
         bool allow_index = true)
      : model(parm, files) {
    traces = CaptureTraces([&] { data.load_mdl_parms(model.table, names, allow_index); });
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

TEST(MultiCategLoadTest, ElevenLinearClassifiersBuildTheIndexTenDoNot) {
  Loaded ten(LinearParm(10, kOneField), LinearVectors(10));
  EXPECT_FALSE(ten.data.use_index);
  EXPECT_EQ(ten.traces.find("inverted index"), std::string::npos);

  Loaded eleven(LinearParm(11, kOneField), LinearVectors(11));
  EXPECT_TRUE(eleven.data.use_index);
  ASSERT_EQ(eleven.data.transposes.size(), 1);
  // Columns 0..4 hold 11, 0, 0, 0 and 11 entries.
  std::string names;
  for (int i = 0; i < 11; i++) names += "c" + std::to_string(i) + " ";
  EXPECT_EQ(eleven.traces,
            "Using old stump range\n1 shared data\nno global support vectors\nBuilding inverted "
            "index for 1 fields\n"
            "Creating a transpose table with 5 columns and 11 depth\n"
            "Average column size is 0<=4.4<=11\n" +
                names + "\nData 0: 11 classifiers \n********** LOADED 11 models\n\n");
  // With the index the kernel data are released and the weights live in the index only.
  for (const ClassifierModel& fier : eleven.data.fiers) EXPECT_EQ(fier.kernel_data.size(), 0);

  // Both routes give the same raw outputs, products and sigmoids.
  for (int i = 0; i < 10; i++) {
    EXPECT_DOUBLE_EQ(ten.score({0}, SIGMOID_RAW)[i], 0.375 * i);
    EXPECT_DOUBLE_EQ(eleven.score({0}, SIGMOID_RAW)[i], 0.375 * i);
    EXPECT_DOUBLE_EQ(ten.score({0, 4}, SIGMOID_RAW)[i], 0.375 * i - 1);
    EXPECT_DOUBLE_EQ(eleven.score({0, 4}, SIGMOID_RAW)[i], 0.375 * i - 1);
    EXPECT_DOUBLE_EQ(ten.score({}, SIGMOID_RAW)[i], -0.125 * i);
    EXPECT_DOUBLE_EQ(eleven.score({}, SIGMOID_RAW)[i], -0.125 * i);
    EXPECT_DOUBLE_EQ(ten.score({0, 4}, SIGMOID_PRODUCTS)[i], 0.25 * i - 0.5);
    EXPECT_DOUBLE_EQ(eleven.score({0, 4}, SIGMOID_PRODUCTS)[i], 0.25 * i - 0.5);
    EXPECT_DOUBLE_EQ(eleven.score({0}, SIGMOID_LOGISTIC)[i], 1 / (std::exp(-0.375 * i) + 1));
  }
  EXPECT_EQ(eleven.score({0}, SIGMOID_RAW).size(), 11u);
}

TEST(MultiCategLoadTest, IndexNeedsOneUnrestrictedKernelAndPermission) {
  std::string two =
      std::string(kOneField) + "kernel k1 { type = linear fields = { f0 } weights = { 1 } }\n";
  Loaded two_kernels(LinearParm(11, two, true), LinearVectors(11));
  EXPECT_FALSE(two_kernels.data.use_index);
  EXPECT_NE(two_kernels.traces.find("\nData 0: 6 classifiers \n"), std::string::npos);
  EXPECT_NE(two_kernels.traces.find("\nData 1: 5 classifiers \n"), std::string::npos);
  EXPECT_DOUBLE_EQ(two_kernels.score({0, 4}, SIGMOID_RAW)[9], 0.375 * 9 - 1);

  Loaded refused(LinearParm(11, kOneField), LinearVectors(11), false);
  EXPECT_FALSE(refused.data.use_index);
  EXPECT_DOUBLE_EQ(refused.score({0, 4}, SIGMOID_RAW)[10], 0.375 * 10 - 1);

  // A kernel restriction keeps the classifier route, which applies it: no
  // classifier has a restrict set, so every one fails the test.
  Loaded restricted(
      LinearParm(11,
                 "field f0 { }\nkernel k0 { type = linear restrict = 0 fields = { f0 } "
                 "weights = { 1 } }\n"),
      LinearVectors(11));
  EXPECT_FALSE(restricted.data.use_index);
  for (double raw : restricted.score({0, 4}, SIGMOID_RAW)) EXPECT_EQ(raw, -1e37);
}

TEST(MultiCategLoadDeathTest, ClassifiersWithoutKernelBlock) {
  Model m("field f0 { }\nclassifier t { trivial = true }\n");
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        MultiCategData data;
        Mvec<const char*> names;
        data.load_mdl_parms(m.table, names, true);
      },
      testing::ExitedWithCode(1),
      Exact("MultiCategData::load_mdl_parms: Parameter file contains no kernel\n" + kUserLine));
}

// ---- scoring ----

TEST(MultiCategScoreTest, SoftmaxAndSigmoidOverTheModel) {
  Loaded m(LinearParm(11, kOneField), LinearVectors(11));
  std::vector<double> soft = m.score({0}, SIGMOID_SOFTMAX);
  double sum = 0;
  for (int i = 0; i < 11; i++) sum += std::exp(0.375 * i);
  for (int i = 0; i < 11; i++) EXPECT_NEAR(soft[i], std::exp(0.375 * i) / sum, 1e-15);
}

// Four features on a normalised field: multiplier 1/2, squared norm 1.
TEST(MultiCategScoreTest, FieldNormalisationOfTheSample) {
  Loaded m(LinearParm(11,
                      "field f0 { norm = true }\n"
                      "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n"),
           LinearVectors(11));
  Mvec<TableIdx> samp(1);
  for (int i : {0, 1, 2, 4}) samp[0].append(ElemIdx{i});
  Mvec<double> outs;
  m.data.test_samp(samp, outs, SIGMOID_RAW);
  EXPECT_EQ(samp[0].mult, 0.5f);
  EXPECT_EQ(samp[0].sqnorm, 1.0f);
  for (int i = 0; i < 11; i++) EXPECT_DOUBLE_EQ(outs[i], 2 * 0.5 * (0.25 * i - 0.5) - 0.125 * i);
}

TEST(MultiCategScoreTest, TextSampleOfTheSingleField) {
  Loaded m(LinearParm(11, kOneField), LinearVectors(11));
  ZDIO reader;
  reader.open_string("4 0 4\n");
  Mvec<double> outs;
  EXPECT_TRUE(m.data.unifield_test_samp(reader, outs, SIGMOID_RAW));
  EXPECT_DOUBLE_EQ(outs[8], 0.375 * 8 - 1);
  EXPECT_FALSE(m.data.unifield_test_samp(reader, outs, SIGMOID_RAW));
  reader.clean_close();
}

TEST(MultiCategScoreDeathTest, BadSamplesAndModes) {
  std::string two =
      "field f0 { }\nfield f1 { }\n"
      "kernel k0 { type = linear fields = { f0 , f1 } weights = { 1 , 1 } }\n";
  Loaded m(LinearParm(2, two), LinearVectors(2));
  ZDIO reader;
  reader.open_string("0\n");
  Mvec<double> outs;
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        m.data.unifield_test_samp(reader, outs, SIGMOID_LOGISTIC);
      },
      testing::ExitedWithCode(1),
      Exact("MultiCategData::test_samp: Only one filed allowed\n" + kUserLine));
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        Mvec<TableIdx> one(1);
        m.data.test_samp(one, outs, SIGMOID_LOGISTIC);
      },
      testing::ExitedWithCode(1),
      Exact("MultiCategData::test_samp: Sample has 1 fields, the model reads 2\n\n" + kUserLine));
  EXPECT_DEATH(
      {
        double two_slots[2];
        Mvec<double> small;
        small.borrow(two_slots, 1);
        Mvec<TableIdx> samp(2);
        m.data.test_samp(samp, small, SIGMOID_LOGISTIC);
      },
      Exact("Mvec::set_nitems: Cannot expand borrowed data\n"));
  EXPECT_EXIT(
      {
        ZDEvent::tracefile = nullptr;
        Mvec<TableIdx> samp(2);
        m.data.test_samp(samp, outs, sigmoid_mode_t(5));
      },
      testing::ExitedWithCode(1), Exact("apply_sigmoid: unknown sigmoid mode 5\n" + kUserLine));
  reader.clean_close();
}

TEST(ApplySigmoidTest, ClampsAndFormula) {
  Mvec<double> x(6);
  const double in[] = {-86, 86, 0, -85, 85, 1};
  for (int i = 0; i < 6; i++) x[i] = in[i];
  apply_sigmoid(x, SIGMOID_LOGISTIC);
  EXPECT_EQ(x[0], 1e-37);
  EXPECT_EQ(x[1], 1.0);
  EXPECT_EQ(x[2], 0.5);
  EXPECT_EQ(x[3], 1 / (std::exp(85.0) + 1));  // the bounds themselves take the formula
  EXPECT_EQ(x[4], 1 / (std::exp(-85.0) + 1));
  EXPECT_EQ(x[5], 1 / (std::exp(-1.0) + 1));
}

TEST(ApplySigmoidTest, SoftmaxRawAndProducts) {
  Mvec<double> x(2);
  x[0] = x[1] = 3;
  apply_sigmoid(x, SIGMOID_SOFTMAX);
  EXPECT_EQ(x[0], 0.5);
  EXPECT_EQ(x[1], 0.5);
  x[0] = 710;  // no shift by the maximum: exp overflows to inf, inf / inf
  x[1] = 0;
  apply_sigmoid(x, SIGMOID_SOFTMAX);
  EXPECT_TRUE(std::isnan(x[0]));
  for (sigmoid_mode_t mode : {SIGMOID_RAW, SIGMOID_PRODUCTS}) {
    x[0] = -200;
    x[1] = 7;
    apply_sigmoid(x, mode);
    EXPECT_EQ(x[0], -200);
    EXPECT_EQ(x[1], 7);
  }
}

}  // namespace
