// The training tools as a user runs them: MaxEntFeatures turns a labelled
// corpus into a dictionary, a label file and liblinear data; MaxEntImport turns
// a liblinear model into a model directory that the decoder loads. Expected
// dictionaries and scores are worked out by hand from the corpora and weights
// below; the liblinear cases compare the decoder with liblinear-predict and with
// the decision values computed from the model file (skipped when liblinear-tools
// are not installed), and the parallel case compares a GNU parallel pipeline
// with one decoder process (skipped without GNU parallel).
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "../test_support.h"

namespace {

using zdtest::ReadFile;
using zdtest::RemoveTree;

// A fresh directory under the test temp dir, removed with its content.
class Scratch {
 public:
  Scratch() {
    std::string pattern = ::testing::TempDir() + "trainXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp failed";
    dir_ = buf.data();
  }
  ~Scratch() { RemoveTree(dir_); }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  std::string operator()(const std::string& name) const { return dir_ + "/" + name; }
  std::string write(const std::string& name, const std::string& text) const {
    std::ofstream(dir_ + "/" + name, std::ios::binary) << text;
    return dir_ + "/" + name;
  }

 private:
  std::string dir_;
};

struct Outcome {
  std::string out, err;
  int status = -1;  // exit status, -1 when a signal ended the process
};

// Runs `argv` with standard input read from `input` (a path, or /dev/null).
Outcome run(const std::vector<std::string>& argv, const std::string& input = "/dev/null") {
  Scratch io;
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open(input.c_str(), O_RDONLY), 0);
    dup2(open(io("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open(io("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    execv(args[0], args.data());
    _exit(127);
  }
  int ws = 0;
  waitpid(pid, &ws, 0);
  Outcome r{ReadFile(io("out")), ReadFile(io("err")), WIFEXITED(ws) ? WEXITSTATUS(ws) : -1};
  return r;
}

// True when `prog` is an executable on the PATH.
bool installed(const char* prog) {
  std::string cmd = std::string("command -v ") + prog + " >/dev/null 2>&1";
  return system(cmd.c_str()) == 0;
}

double sig(double x) {
  return x < -85 ? 1e-37 : x > 85 ? 1.0 : 1.0 / (std::exp(-x) + 1.0);
}

// The decoder's answer to one line: class name to score, and the names best first.
struct Answer {
  std::map<std::string, double> score;
  std::vector<std::string> ranked;
};

std::vector<Answer> parse_answers(const std::string& out) {
  std::vector<Answer> answers;
  std::istringstream lines(out);
  std::string line;
  while (std::getline(lines, line)) {
    Answer a;
    std::istringstream pairs(line);
    std::string pair;
    while (pairs >> pair) {
      size_t colon = pair.rfind(':');
      a.ranked.push_back(pair.substr(0, colon));
      a.score[a.ranked.back()] = atof(pair.c_str() + colon + 1);
    }
    answers.push_back(a);
  }
  return answers;
}

// Scores printed with %g carry six significant digits.
void expect_score(double printed, double expected, const std::string& where) {
  EXPECT_NEAR(printed, expected, 1e-5 * expected + 1e-37) << where;
}

class TrainTools : public ::testing::Test {
 protected:
  Outcome features(std::vector<std::string> args) {
    args.insert(args.begin(), FEATURES_PATH);
    return run(args);
  }
  Outcome import(std::vector<std::string> args) {
    args.insert(args.begin(), IMPORT_PATH);
    return run(args);
  }
  Outcome decode(const std::string& model, const std::string& input, int nbest) {
    return run({DECODER_PATH, "-m", model, "-d", model + "/dict.txt", "-n", std::to_string(nbest)},
               dir.write("decode.in", input));
  }

  Scratch dir;
};

// ---------------------------------------------------------------- features

// n-gram counts of this corpus: x_1 4; y_2 2; "x_1 y_2" 2; x_2, "x_1 x_2",
// z_2, "x_1 z_2", z_3, "x_2 z_3", "x_1 x_2 z_3" 1 each (commas split tokens).
const char kCorpus[] = "b\tx y\na\tx y\na\tx,z\nc:1\tx x z\n";

TEST_F(TrainTools, FeaturesKeepFrequentNgramsMostFrequentFirst) {
  Outcome r = features({"-c", "2", "-i", dir.write("corpus.txt", kCorpus), "-d", dir("dict.txt"),
                        "-l", dir("labels.txt"), "-o", dir("train.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  // Ties in count are in byte order: "x_1 y_2" before "y_2".
  EXPECT_EQ(ReadFile(dir("dict.txt")), "1 x_1\n2 x_1 y_2\n3 y_2\n");
  EXPECT_EQ(ReadFile(dir("labels.txt")), "1\ta\n2\tb\n3\tc:1\n");
  EXPECT_EQ(ReadFile(dir("train.svm")), "2 1:1 2:1 3:1\n1 1:1 2:1 3:1\n1 1:1\n3 1:1\n");
}

TEST_F(TrainTools, FeaturesWithCountOneKeepEveryNgramAsTheDecoderFormsIt) {
  Outcome r = features({"-c", "1", "-i", dir.write("corpus.txt", kCorpus), "-d", dir("dict.txt"),
                        "-l", dir("labels.txt"), "-o", dir("train.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir("dict.txt")),
            "1 x_1\n2 x_1 y_2\n3 y_2\n4 x_1 x_2\n5 x_1 x_2 z_3\n6 x_1 z_2\n7 x_2\n8 x_2 z_3\n"
            "9 z_2\n10 z_3\n");
  EXPECT_EQ(ReadFile(dir("train.svm")),
            "2 1:1 2:1 3:1\n1 1:1 2:1 3:1\n1 1:1 6:1 9:1\n3 1:1 4:1 5:1 7:1 8:1 10:1\n");
}

TEST_F(TrainTools, FeaturesLeaveOutStringsTooLongForADictionaryLine) {
  // "1 " + 1019 characters + newline reaches the loader's limit of 1022; one
  // character less fits. The dictionary is read back to write the data.
  std::string y(1017, 'y'), z(1016, 'z');
  Outcome r = features({"-c", "1", "-i", dir.write("corpus.txt", "a\t" + y + "\nb\t" + z + "\n"),
                        "-d", dir("dict.txt"), "-l", dir("labels.txt"), "-o", dir("train.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir("dict.txt")), "1 " + z + "_1\n");
  EXPECT_EQ(ReadFile(dir("train.svm")), "1\n2 1:1\n");
}

TEST_F(TrainTools, FeaturesForHeldOutLinesUseTheExistingDictionaryAndLabels) {
  dir.write("dict.txt", "7 x_1\n3 q_2\n5 x_1 q_2\n");
  dir.write("labels.txt", "4\tb\n-1\ta\n");
  Outcome r = features({"-x", "-i", dir.write("held.txt", "a\tx q r\nb\tr q\nb\t\n"), "-d",
                        dir("dict.txt"), "-l", dir("labels.txt"), "-o", dir("held.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_EQ(ReadFile(dir("held.svm")), "-1 3:1 5:1 7:1\n4 3:1\n4\n");
  EXPECT_EQ(ReadFile(dir("dict.txt")), "7 x_1\n3 q_2\n5 x_1 q_2\n");  // read, not written

  r = features({"-x", "-i", dir.write("held.txt", "a\tx\nz\tx\n"), "-d", dir("dict.txt"), "-l",
                dir("labels.txt"), "-o", dir("held.svm")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("held.txt:2: class \"z\" has no label number"), std::string::npos) << r.err;
}

TEST_F(TrainTools, FeaturesRejectBadCorpusLinesNamingFileAndLine) {
  struct Case {
    const char* corpus;
    const char* message;
  } cases[] = {
      {"a\tx\nno tab here\n", "corpus.txt:2: expected a class name, a tab and the text"},
      {"a\tx\n\tx\n", "corpus.txt:2: empty class name"},
      {"a b\tx\n", "corpus.txt:1: class name \"a b\" holds the byte 0x20"},
      {"a\tx\nx{y\tx\n", "corpus.txt:2: class name \"x{y\" holds '{'"},
      {"a\tx\n\"q\"\tx\n", "holds '\"', which a parameter file cannot hold unquoted"},
      {"a\tx\nk=v\tx\n", "corpus.txt:2: class name \"k=v\" holds '='"},
  };
  for (const Case& c : cases) {
    Outcome r = features(
        {"-i", dir.write("corpus.txt", c.corpus), "-d", dir("d"), "-l", dir("l"), "-o", dir("o")});
    EXPECT_EQ(r.status, 1) << c.corpus;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  Outcome r = features({"-i", dir("missing.txt"), "-d", dir("d"), "-l", dir("l"), "-o", dir("o")});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("missing.txt: cannot open: No such file or directory"), std::string::npos);
  // A full disk is an error, not a truncated file.
  r = features(
      {"-i", dir.write("corpus.txt", kCorpus), "-d", dir("d"), "-l", dir("l"), "-o", "/dev/full"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("/dev/full: write error: No space left on device"), std::string::npos);
  EXPECT_EQ(features({"-c", "0", "-i", "x", "-d", "d", "-l", "l", "-o", "o"}).status, 1);
  r = features({"-i", "x", "-d", "d"});
  EXPECT_EQ(r.status, 1);
  EXPECT_NE(r.err.find("Usage:"), std::string::npos);
}

// ------------------------------------------------------------------ import

// Three classes (labels 3, 1, 2 in liblinear's order) on three features and a
// bias of 2; feature 3 has no weight. Dictionary index 4 is beyond the model.
const char kModel3[] =
    "solver_type L2R_LR\nnr_class 3\nlabel 3 1 2\nnr_feature 3\nbias 2\nw\n"
    "0.5 -1 0.25 \n1.5 0 -0.5 \n0 0 0 \n-0.25 0.125 0.5 \n";
const char kDict[] = "1 a_1\n2 b_2\n3 a_1 b_2\n4 c_1\n";
const char kLabels[] = "1\tone\n2\ttwo\n3\tthree\n";

TEST_F(TrainTools, ImportedClassesScoreTheSigmoidOfTheDecisionValues) {
  for (bool binary : {false, true}) {
    std::string out = dir(binary ? "bin" : "text");
    std::vector<std::string> args = {
        "-m", dir.write("m3", kModel3),         "-d", dir.write("dict.txt", kDict),
        "-l", dir.write("labels.txt", kLabels), "-o", out};
    if (binary) args.push_back("-b");
    Outcome r = import(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(ReadFile(out + "/dict.txt"), kDict);
    // Biases 2 x (-0.25, 0.125, 0.5). "a b" has features 1, 2, 3; "a" 1; "c" 4.
    double three = -0.5, one = 0.25, two = 1;
    char want[512];
    snprintf(want, sizeof want,
             "three:%g two:%g one:%g \ntwo:%g three:%g one:%g \ntwo:%g one:%g three:%g \n",
             sig(0.5 + 1.5 + three), sig(0.25 - 0.5 + two), sig(-1 + one), sig(0.25 + two),
             sig(0.5 + three), sig(-1 + one), sig(two), sig(one), sig(three));
    r = decode(out, "a b\na\nc\n", 3);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, want) << (binary ? "binary" : "text");
  }
  // Only non-zero weights are written: class "one" keeps feature 1 alone.
  EXPECT_NE(ReadFile(dir("text/c1.txt")).find("  1 = -1\n}\n"), std::string::npos);
  EXPECT_EQ(ReadFile(dir("text/c1.txt")).find("2 ="), std::string::npos);
  EXPECT_NE(ReadFile(dir("bin/c1.txt")).find("binsize = 1\n"), std::string::npos);
  // Index 1 and -1.0f (0xbf800000), little-endian.
  EXPECT_EQ(ReadFile(dir("bin/c1.bin")), std::string("\1\0\0\0\0\0\x80\xbf", 8));
}

TEST_F(TrainTools, TwoClassModelsRankBothClasses) {
  // One weight column for the first label; no bias term; class names are the labels.
  const char model[] =
      "solver_type L2R_L2LOSS_SVC_DUAL\nnr_class 2\nlabel 1 -1\nnr_feature 2\nbias -1\nw\n2 \n"
      "-0.5 \n";
  Outcome r =
      import({"-m", dir.write("m2", model), "-d", dir.write("dict.txt", kDict), "-o", dir("m")});
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_NE(ReadFile(dir("m/zanda.parm")).find("bias = 0\n"), std::string::npos);
  char want[256];
  snprintf(want, sizeof want, "1:%g -1:%g \n-1:%g 1:%g \n", sig(2), sig(-2), sig(0.5), sig(-0.5));
  r = decode(dir("m"), "a\nb b\n", 2);
  EXPECT_EQ(r.out, want) << r.err;
}

TEST_F(TrainTools, ImportRejectsBadModelsNamingFileAndLine) {
  const std::string head = "solver_type L2R_LR\nnr_class 3\nlabel 3 1 2\nnr_feature 3\nbias 2\nw\n";
  struct Case {
    std::string model;
    const char* message;
  } cases[] = {
      {"solver_type MCSVM_CS\n", "m:1: solver MCSVM_CS (-s 4) is not one-vs-rest"},
      {"solver_type L2R_L2LOSS_SVR\n", "m:1: solver L2R_L2LOSS_SVR is not a one-vs-rest"},
      {"solver_type L2R_LR\nnr_class 1\n", "m:2: a classifier needs at least 2 classes"},
      {"solver_type L2R_LR\nnr_class 3\nnr_feature 3\nbias 1\nw\n", "m: no label line"},
      {"solver_type L2R_LR\nnr_class 3\nlabel 1 2\nnr_feature 1\nbias 1\nw\n",
       "m: the label line has 2 labels for 3 classes"},
      {"solver_type L2R_LR\nrho 0\n", "m:2: not a liblinear model line: \"rho 0\""},
      {"", "m: no weights (\"w\" line): not a liblinear model file"},
      {head + "1 2 3\n4 5\n", "m:8: expected 3 weights, found 2"},
      {head + "1 x 3\n", "m:7: \"x\" is not a finite number"},
      {head + "1 nan 3\n", "m:7: \"nan\" is not a finite number"},
      {head + "1 2 3x\n", "m:7: \"3x\" is not a number"},
      {head + "1 2 3\n1 2 3\n", "m:8: ends after 2 of the 4 weight rows"},
      {head + "1 2 3\n1 2 3\n1 2 3\n1 2 3\n\n7\n", "m:12: text after the last weight row"},
      {"solver_type L2R_LR\nnr_class 2\nlabel 1 2\nnr_feature 5\nbias -1\nw\n",
       "dict.txt: indices end at 4 but the model has 5 features"},
  };
  for (const Case& c : cases) {
    Outcome r = import(
        {"-m", dir.write("m", c.model), "-d", dir.write("dict.txt", kDict), "-o", dir("out")});
    EXPECT_EQ(r.status, 1) << c.model;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << c.model << r.err;
  }
  Outcome r = import({"-m", dir("none"), "-d", dir("dict.txt"), "-o", dir("out")});
  EXPECT_NE(r.err.find("none: cannot open: No such file or directory"), std::string::npos);
  EXPECT_EQ(import({"-m", dir("m")}).status, 1);
}

TEST_F(TrainTools, ImportRejectsLabelFilesThatCannotNameTheClasses) {
  struct Case {
    const char* labels;
    const char* message;
  } cases[] = {
      {"1\tone\n2\ttwo\n", "labels.txt: no class name for label 3 of"},
      {"1\tone\n2\tt w o\n3\tthree\n", "labels.txt:2: class name \"t w o\" holds the byte 0x20"},
      {"1\tone\n2\t#two\n", "labels.txt:2: class name \"#two\" holds '#'"},
      {"1\tone\n1\ttwo\n", "labels.txt:2: label 1 given twice"},
      {"1\tone\n2\tone\n", "labels.txt:2: class name \"one\" given twice"},
      {"x\tone\n", "labels.txt:1: label \"x\" is not an integer"},
      {"1\n", "labels.txt:1: expected a label number, a tab and a class name"},
  };
  for (const Case& c : cases) {
    Outcome r = import({"-m", dir.write("m3", kModel3), "-d", dir.write("dict.txt", kDict), "-l",
                        dir.write("labels.txt", c.labels), "-o", dir("out")});
    EXPECT_EQ(r.status, 1) << c.labels;
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
  }
  // The dictionary is checked by the decoder's own loader.
  Outcome r = import(
      {"-m", dir.write("m3", kModel3), "-d", dir.write("dict.txt", "1 a_1\n\n"), "-o", dir("out")});
  EXPECT_EQ(r.status, 255);
  EXPECT_NE(r.err.find("wrong number of columns at 1 in"), std::string::npos) << r.err;
}

// ------------------------------------------------ liblinear end to end

// A corpus of `nclass` topics: each line draws 3 to 8 words, three in four from
// its class's own words and the others from shared words (fixed generator).
std::string synth_corpus(int nclass, int nlines, uint32_t seed) {
  std::string text;
  auto next = [&seed](uint32_t n) {
    seed = seed * 1664525u + 1013904223u;
    return (seed >> 8) % n;
  };
  for (int i = 0; i < nlines; i++) {
    int k = static_cast<int>(next(nclass));
    text += "topic" + std::to_string(k) + "\t";
    int nwords = 3 + static_cast<int>(next(6));
    for (int j = 0; j < nwords; j++) {
      if (next(4) != 0) {
        text += "w" + std::to_string(k) + "_" + std::to_string(next(6)) + " ";
      } else {
        text += "s" + std::to_string(next(8)) + " ";
      }
    }
    text += "\n";
  }
  return text;
}

// A liblinear model file read for the decision values w.x + b.
struct Liblinear {
  std::vector<long> labels;
  long nfeat = 0, ncols = 0;
  double bias = -1;
  std::vector<std::vector<double>> rows;

  explicit Liblinear(const std::string& path) {
    std::ifstream in(path);
    std::string key;
    while (in >> key && key != "w") {
      if (key == "nr_class") {
        in >> ncols;
        ncols = ncols == 2 ? 1 : ncols;
      } else if (key == "label") {
        labels.resize(ncols == 1 ? 2 : ncols);
        for (long& l : labels) in >> l;
      } else if (key == "nr_feature") {
        in >> nfeat;
      } else if (key == "bias") {
        in >> bias;
      } else {
        in >> key;
      }
    }
    rows.assign(nfeat + (bias >= 0), std::vector<double>(ncols));
    for (auto& row : rows)
      for (double& v : row) in >> v;
  }
  // Decision value of every class for the features of one liblinear data line.
  std::vector<double> decide(const std::string& data_line) const {
    std::vector<double> d(ncols, 0.0);
    std::istringstream f(data_line);
    std::string item;
    f >> item;  // the label
    while (f >> item) {
      long i = atol(item.c_str());
      if (i <= nfeat)
        for (long k = 0; k < ncols; k++) d[k] += rows[i - 1][k];
    }
    if (bias >= 0)
      for (long k = 0; k < ncols; k++) d[k] += bias * rows[nfeat][k];
    if (ncols == 1) d.push_back(-d[0]);
    return d;
  }
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// Trains with `solver_args`, imports, decodes the held-out texts and checks the
// decoder against liblinear-predict and the decision values.
void check_against_liblinear(int nclass, const std::vector<std::string>& solver_args, bool binary) {
  Scratch d;
  std::string where = std::to_string(nclass) + " classes, solver";
  for (const std::string& a : solver_args) where += " " + a;
  std::string train = d.write("train.txt", synth_corpus(nclass, 60 * nclass, 7));
  std::string held_text = synth_corpus(nclass, 80, 99);
  std::string held = d.write("held.txt", held_text);
  Outcome r = run({FEATURES_PATH, "-c", "2", "-i", train, "-d", d("dict.txt"), "-l",
                   d("labels.txt"), "-o", d("train.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  r = run({FEATURES_PATH, "-x", "-i", held, "-d", d("dict.txt"), "-l", d("labels.txt"), "-o",
           d("held.svm")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> cmd = {"/bin/sh", "-c", "exec liblinear-train -q \"$@\"", "sh"};
  cmd.insert(cmd.end(), solver_args.begin(), solver_args.end());
  cmd.push_back(d("train.svm"));
  cmd.push_back(d("model.ll"));
  ASSERT_EQ(run(cmd).status, 0) << where;
  bool logistic = solver_args[1] == "0" || solver_args[1] == "6" || solver_args[1] == "7";
  r = run({"/bin/sh", "-c", "exec liblinear-predict -q -b \"$1\" \"$2\" \"$3\" \"$4\"", "sh",
           logistic ? "1" : "0", d("held.svm"), d("model.ll"), d("pred.txt")});
  ASSERT_EQ(r.status, 0) << r.err;
  std::vector<std::string> args = {IMPORT_PATH,     "-m", d("model.ll"), "-d", d("dict.txt"), "-l",
                                   d("labels.txt"), "-o", d("model")};
  if (binary) args.push_back("-b");
  r = run(args);
  ASSERT_EQ(r.status, 0) << r.err;

  std::string texts;
  for (const std::string& line : lines_of(held_text))
    texts += line.substr(line.find('\t') + 1) + "\n";
  r = run({DECODER_PATH, "-m", d("model"), "-d", d("model/dict.txt"), "-n", std::to_string(nclass)},
          d.write("texts.txt", texts));
  ASSERT_EQ(r.status, 0) << r.err;

  Liblinear model(d("model.ll"));
  std::map<long, std::string> name;  // labels are the class names in byte order
  for (const std::string& line : lines_of(ReadFile(d("labels.txt"))))
    name[atol(line.c_str())] = line.substr(line.find('\t') + 1);
  std::vector<Answer> answers = parse_answers(r.out);
  std::vector<std::string> data = lines_of(ReadFile(d("held.svm")));
  std::vector<std::string> pred = lines_of(ReadFile(d("pred.txt")));
  if (logistic) pred.erase(pred.begin());  // the "labels ..." header
  ASSERT_EQ(answers.size(), data.size()) << where;
  ASSERT_EQ(pred.size(), data.size()) << where;
  int agree = 0;
  for (size_t i = 0; i < data.size(); i++) {
    std::string at = where + ", line " + std::to_string(i + 1);
    std::vector<double> dec = model.decide(data[i]);
    std::vector<double> sorted = dec;
    std::sort(sorted.rbegin(), sorted.rend());
    double total = 0;
    for (size_t k = 0; k < dec.size(); k++) {
      const std::string& cls = name[model.labels[k]];
      ASSERT_EQ(answers[i].score.count(cls), 1u) << at;
      expect_score(answers[i].score[cls], sig(dec[k]), at + ", class " + cls);
      total += answers[i].score[cls];
    }
    std::istringstream p(pred[i]);
    long predicted;
    p >> predicted;
    if (sorted[0] - sorted[1] > 1e-5) {
      EXPECT_EQ(answers[i].ranked[0], name[predicted]) << at;
      agree++;
    }
    // liblinear's probabilities are the sigmoids, normalised over the classes.
    for (size_t k = 0; logistic && k < dec.size(); k++) {
      double prob;
      p >> prob;
      EXPECT_NEAR(answers[i].score[name[model.labels[k]]] / total, prob, 2e-5) << at;
    }
  }
  EXPECT_GT(agree, static_cast<int>(data.size()) / 2) << where;  // few ties
}

TEST(Liblinear, DecoderAgreesWithLiblinearPredictOnImportedModels) {
  if (!installed("liblinear-train") || !installed("liblinear-predict")) {
    GTEST_SKIP() << "liblinear-tools are not installed (apt-get install liblinear-tools)";
  }
  // Two classes (one weight column), three, and twelve (scored through the
  // decoder's inverted index); logistic and SVM solvers, with and without bias.
  check_against_liblinear(2, {"-s", "0", "-B", "1"}, false);
  check_against_liblinear(2, {"-s", "3"}, true);
  check_against_liblinear(3, {"-s", "6", "-B", "2"}, false);
  check_against_liblinear(3, {"-s", "1"}, false);
  check_against_liblinear(12, {"-s", "7", "-B", "1"}, true);
  check_against_liblinear(12, {"-s", "2"}, false);
}

// ------------------------------------------------------------ parallel

TEST_F(TrainTools, ParallelPipeGivesTheOutputOfOneProcess) {
  if (!installed("parallel")) {
    GTEST_SKIP() << "GNU parallel is not installed (apt-get install parallel)";
  }
  ASSERT_EQ(import({"-m", dir.write("m3", kModel3), "-d", dir.write("dict.txt", kDict), "-l",
                    dir.write("labels.txt", kLabels), "-o", dir("m")})
                .status,
            0);
  const char* words[] = {"a", "b", "c", "a b", "", "...EOS...", "b a c", "c c"};
  std::string input;
  for (int i = 0; i < 3000; i++) input += std::string(words[(i * 7 + i / 5) % 8]) + "\n";
  std::string in = dir.write("in.txt", input);
  Outcome one = run({DECODER_PATH, "-m", dir("m"), "-d", dir("m/dict.txt"), "-n", "2"}, in);
  ASSERT_EQ(one.status, 0);
  ASSERT_EQ(std::count(one.out.begin(), one.out.end(), '\n'), 3000);
  // 41 lines per block: 74 blocks over 4 processes at a time; then the file
  // split in place in blocks of 2000 bytes.
  for (const char* split : {"--pipe -N 41", "--pipepart -a \"$4\" --block 2000"}) {
    std::string cmd = std::string("exec parallel --will-cite -k -j 4 ") + split +
                      " \"$1\" -m \"$2\" -d \"$3\" -n 2";
    Outcome many =
        run({"/bin/sh", "-c", cmd, "sh", DECODER_PATH, dir("m"), dir("m/dict.txt"), in}, in);
    ASSERT_EQ(many.status, 0) << many.err;
    EXPECT_TRUE(many.out == one.out) << split;
  }
}

}  // namespace
