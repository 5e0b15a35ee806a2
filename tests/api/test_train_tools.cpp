// The training tools as a user runs them: MaxEntFeatures turns a labelled
// corpus into a dictionary, a label file and liblinear data; MaxEntImport turns
// a liblinear model into a model folder that the decoder loads. Expected files
// and scores are worked out by hand from the corpora and weights below.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <string>
#include <vector>

#include "../test_support.h"

namespace {

using zdtest::ReadFile;

double Sig(double x) { return 1.0 / (std::exp(-x) + 1.0); }

class TrainTools : public ::testing::Test {
 protected:
  zdtest::Outcome Tool(const char* path, std::vector<std::string> args) {
    args.insert(args.begin(), path);
    return zdtest::Run(args);
  }
  std::string Write(const std::string& name, const std::string& text) {
    return zdtest::WriteFile(dir(name), text);
  }
  zdtest::TempDir dir;
};

// n-gram counts: x_1 4; y_2 2; "x_1 y_2" 2; the others once (commas split tokens).
const char kCorpus[] = "b\tx y\na\tx y\na\tx,z\nc:1\tx x z\n";

TEST_F(TrainTools, FeaturesKeepFrequentNgramsAndNumberTheClasses) {
  zdtest::Outcome r = Tool(FEATURES_PATH, {"-c", "2", "-i", Write("corpus.txt", kCorpus), "-d",
                                           dir("dict.txt"), "-l", dir("labels.txt"), "-o",
                                           dir("train.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  // Most frequent first, ties in byte order: "x_1 y_2" before "y_2".
  EXPECT_EQ(ReadFile(dir("dict.txt")), "1 x_1\n2 x_1 y_2\n3 y_2\n");
  EXPECT_EQ(ReadFile(dir("labels.txt")), "1\ta\n2\tb\n3\tc:1\n");
  EXPECT_EQ(ReadFile(dir("train.svm")), "2 1:1 2:1 3:1\n1 1:1 2:1 3:1\n1 1:1\n3 1:1\n");
  // Held-out text with -x: the dictionary and labels are read, not written;
  // z_3 and the n-grams holding it are unknown.
  r = Tool(FEATURES_PATH, {"-x", "-i", Write("held.txt", "a\tx y z\nb\tx\n"), "-d",
                           dir("dict.txt"), "-l", dir("labels.txt"), "-o", dir("held.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir("held.svm")), "1 1:1 2:1 3:1\n2 1:1\n");
  EXPECT_EQ(ReadFile(dir("dict.txt")), "1 x_1\n2 x_1 y_2\n3 y_2\n");

  const std::pair<const char*, const char*> bad[] = {
      {"a\tx\nno tab here\n", "corpus.txt:2: expected a class name, a tab and the text"},
      {"a b\tx\n", "corpus.txt:1: class name \"a b\" holds the byte 0x20"},
      {"a\tx\nx{y\tx\n", "corpus.txt:2: class name \"x{y\" holds '{'"},
  };
  for (const auto& c : bad) {
    r = Tool(FEATURES_PATH, {"-i", Write("corpus.txt", c.first), "-d", dir("d"), "-l", dir("l"),
                             "-o", dir("o")});
    EXPECT_EQ(r.status, 1) << c.first;
    EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
  }
}

// Three classes (labels 3, 1, 2 in liblinear's order) on three features and a
// bias of 2; feature 3 has no weight. Dictionary index 4 is beyond the model.
const char kModel3[] =
    "solver_type L2R_LR\nnr_class 3\nlabel 3 1 2\nnr_feature 3\nbias 2\nw\n"
    "0.5 -1 0.25 \n1.5 0 -0.5 \n0 0 0 \n-0.25 0.125 0.5 \n";
const char kDict[] = "1 a_1\n2 b_2\n3 a_1 b_2\n4 c_1\n";
const char kLabels[] = "1\tone\n2\ttwo\n3\tthree\n";

TEST_F(TrainTools, ImportedClassesScoreTheSigmoidOfTheDecisionValues) {
  for (bool binary : {false, true}) {
    const std::string out = dir(binary ? "bin" : "text");
    std::vector<std::string> args = {"-m", Write("m3", kModel3), "-d", Write("dict.txt", kDict),
                                     "-l", Write("labels.txt", kLabels), "-o", out};
    if (binary) args.push_back("-b");
    zdtest::Outcome r = Tool(IMPORT_PATH, args);
    ASSERT_EQ(r.status, 0) << r.err;
    // Biases 2 x (-0.25, 0.125, 0.5). "a b" has features 1, 2, 3; "a" 1; "c" 4.
    const double three = -0.5, one = 0.25, two = 1;
    char want[512];
    snprintf(want, sizeof want,
             "three:%g two:%g one:%g \ntwo:%g three:%g one:%g \ntwo:%g one:%g three:%g \n",
             Sig(0.5 + 1.5 + three), Sig(0.25 - 0.5 + two), Sig(-1 + one), Sig(0.25 + two),
             Sig(0.5 + three), Sig(-1 + one), Sig(two), Sig(one), Sig(three));
    r = zdtest::Run({DECODER_PATH, "-m", out, "-d", out + "/dict.txt", "-n", "3"},
                    Write("in.txt", "a b\na\nc\n"));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want) << (binary ? "binary" : "text");
  }
}

TEST_F(TrainTools, ImportRejectsBadModelsNamingFileAndLine) {
  const std::string head = "solver_type L2R_LR\nnr_class 3\nlabel 3 1 2\nnr_feature 3\nbias 2\nw\n";
  const std::pair<std::string, const char*> cases[] = {
      {"solver_type MCSVM_CS\n", "m:1: solver MCSVM_CS (-s 4) is not one-vs-rest"},
      {head + "1 2 3\n4 5\n", "m:8: expected 3 weights, found 2"},
      {head + "1 nan 3\n", "m:7: \"nan\" is not a finite number"},
      {head + "1 2 3\n1 2 3\n", "m:8: ends after 2 of the 4 weight rows"},
  };
  for (const auto& c : cases) {
    zdtest::Outcome r = Tool(IMPORT_PATH, {"-m", Write("m", c.first), "-d",
                                           Write("dict.txt", kDict), "-o", dir("out")});
    EXPECT_EQ(r.status, 1) << c.first;
    EXPECT_NE(r.err.find(c.second), std::string::npos) << c.first << r.err;
  }
}

TEST_F(TrainTools, ImportRejectsLabelFilesThatCannotNameTheClasses) {
  const std::pair<const char*, const char*> cases[] = {
      {"1\tone\n2\ttwo\n", "labels.txt: no class name for label 3 of"},
      {"1\tone\n2\tt w o\n3\tthree\n", "labels.txt:2: class name \"t w o\" holds the byte 0x20"},
      {"1\tone\n1\ttwo\n", "labels.txt:2: label 1 given twice"},
  };
  for (const auto& c : cases) {
    zdtest::Outcome r = Tool(IMPORT_PATH, {"-m", Write("m3", kModel3), "-d", Write("dict.txt", kDict),
                                           "-l", Write("labels.txt", c.first), "-o", dir("out")});
    EXPECT_EQ(r.status, 1) << c.first;
    EXPECT_NE(r.err.find(c.second), std::string::npos) << r.err;
  }
  // The dictionary is checked by the decoder's own loader.
  zdtest::Outcome r = Tool(IMPORT_PATH, {"-m", Write("m3", kModel3), "-d",
                                         Write("dict.txt", "1 a_1\n\n"), "-o", dir("out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("wrong number of columns at 1 in"), std::string::npos) << r.err;
}

}  // namespace
