// Runs the built decoder as a process on small model directories and checks
// standard output byte for byte, the diagnostics and the exit status. Every
// expected score is the sigmoid of a raw output worked out by hand from the
// weights written below.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <cstdio>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "../test_support.h"

namespace {

using zdtest::ReadFile;

using Files = std::vector<std::pair<std::string, std::string>>;

struct Result {
  std::string out, err;
  int status = -1;  // exit status; -1 when a signal ended the process
};

// Runs the decoder with `args` and `input` on standard input.
Result run_decoder(const std::vector<std::string>& args, const std::string& input) {
  std::string io = zdtest::MakeTempDir();
  zdtest::WriteFile(io + "in", input);
  pid_t pid = fork();
  if (pid == 0) {
    dup2(open((io + "in").c_str(), O_RDONLY), 0);
    dup2(open((io + "out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 1);
    dup2(open((io + "err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644), 2);
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    // Fatal errors exit in the middle of loading and leave its state behind.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> argv = {const_cast<char*>(DECODER_PATH)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(DECODER_PATH, argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Result r{ReadFile(io + "out"), ReadFile(io + "err")};
  for (const char* f : {"in", "out", "err"}) unlink((io + f).c_str());
  rmdir(io.c_str());
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  return r;
}

// One printed pair for class `name` with raw output x.
std::string P(const std::string& name, double x) {
  char buf[256];
  snprintf(buf, sizeof buf, "%s:%g ", name.c_str(),
           x < -85  ? 1e-37
           : x > 85 ? 1.0
                    : 1.0 / (std::exp(-x) + 1.0));
  return buf;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

// Feature indices of the lines used below:
//   "a b c" -> {0, 1, 2, 3}   "a" -> {0}   "b" -> {4}   "b a" -> {4, 6, 8}
//   "d e" -> {7, 9}           "c" -> {5}   "zzz" and "" -> {}
const char kDict[] =
    "0 a_1\n1 b_2\n2 c_3\n3 a_1 b_2\n4 b_1\n5 c_1\n6 a_2\n7 d_1\n8 b_1 a_2\n9 e_2\n";

const char kLinearKernel[] =
    "field f0 { }\nkernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";

// Classifier i of the linear test models: weights a_1 = 0.25 i - 1, c_3 = 0.5
// (even i), "a_1 b_2" = 2 (i = 3), b_1 = 1 - 0.25 i; output factor 3 for i = 7,
// else 1; bias 0.25 for i = 5, else 0. No supervisor blocks: the classes are
// shown under their block names c0, c1, ... With `two_kernels` odd classifiers
// use a second, identical kernel.
Files linear_model(int nclass, bool field_norm = false, bool kernel_norm = false,
                   bool two_kernels = false) {
  auto flag = [](bool b) { return b ? std::string("true") : std::string("false"); };
  std::string parm = "field f0 { norm = " + flag(field_norm) + " }\n";
  for (int k = 0; k < 1 + two_kernels; k++)
    parm += "kernel k" + std::to_string(k) + " { type = linear norm = " + flag(kernel_norm) +
            " fields = { f0 } weights = { 1 } }\n";
  Files files;
  for (int i = 0; i < nclass; i++) {
    std::string n = std::to_string(i);
    files.push_back({"v" + n + ".txt",
                     "vector w { type = weight field = 0 0 = " + std::to_string(0.25 * i - 1) +
                         (i % 2 == 0 ? " 2 = 0.5" : "") + (i == 3 ? " 3 = 2" : "") +
                         " 4 = " + std::to_string(1 - 0.25 * i) + " }\n"});
    parm += "classifier c" + n + " { kernels = { k" + (two_kernels ? std::to_string(i % 2) : "0") +
            " } vecfile = { v" + n + ".txt } weights = { " + (i == 7 ? "3" : "1") +
            " } bias = " + (i == 5 ? "0.25" : "0") + " }\n";
  }
  files.push_back({"zanda.parm", parm});
  return files;
}

class DecoderTest : public ::testing::Test {
 protected:
  std::string dir = zdtest::MakeTempDir();

  void SetUp() override { zdtest::WriteFile(dir + "dict.txt", kDict); }
  // Writes the model directory `model` and decodes `input` with it.
  Result decode(const std::string& model, const Files& files, const std::string& input,
                std::vector<std::string> extra = {}) {
    mkdir((dir + model).c_str(), 0755);
    for (const auto& f : files) {
      bool gz = f.first.size() > 3 && f.first.compare(f.first.size() - 3, 3, ".gz") == 0;
      zdtest::WriteFile(dir + model + "/" + f.first, f.second, gz);
    }
    std::vector<std::string> args = {"-m", dir + model, "-d", dir + "dict.txt"};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_decoder(args, input);
  }
};

// Eleven classifiers on one kernel go through the inverted index, ten or two
// kernels do not; both routes give the same scores, ties come out in the
// heapsort's order and -n beyond the class count prints every class once.
TEST_F(DecoderTest, LinearModelsOnBothScoringRoutes) {
  const std::string input = "a\nb\na b c\nzzz\n...EOS...\n\nb a\n";
  const std::string b = P("c0", 1) + P("c1", 0.75) + P("c2", 0.5) + "\n";
  const std::string zero = P("c5", 0.25) + P("c2", 0) + P("c3", 0) + "\n";
  const std::string ties = P("c5", 0.25) + P("c2", 0) + P("c3", 0) + P("c4", 0) + P("c1", 0) +
                           P("c6", 0) + P("c7", 0) + P("c8", 0) + P("c9", 0);
  const std::string eleven = P("c7", 2.25) + P("c10", 1.5) + P("c9", 1.25) + "\n" + b +
                             P("c7", 2.25) + P("c10", 2.0) + P("c3", 1.75) + "\n" + zero +
                             "...EOS...\n" + zero + b;
  const struct {
    Files model;
    bool index;
    std::string out, all;
  } cases[] = {
      {linear_model(11), true, eleven, ties + P("c10", 0) + P("c0", 0) + "\n"},
      {linear_model(10), false,
       P("c7", 2.25) + P("c9", 1.25) + P("c8", 1) + "\n" + b + P("c7", 2.25) + P("c3", 1.75) +
           P("c8", 1.5) + "\n" + zero + "...EOS...\n" + zero + b,
       ties + P("c0", 0) + "\n"},
      {linear_model(11, false, false, true), false, eleven, ""},
  };
  for (const auto& c : cases) {
    Result r = decode("m", c.model, input, {"-n", "3"});
    EXPECT_EQ(r.out, c.out);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(contains(r.err, "Building inverted index for 1 fields\n"), c.index);
    EXPECT_TRUE(contains(r.err, "No classifiers: will look for classes in label files\n"));
    EXPECT_TRUE(
        contains(r.err, "********** LOADED " + std::to_string(c.model.size() - 1) + " models\n"));
    if (!c.all.empty()) {
      EXPECT_EQ(decode("m", c.model, "zzz\n", {"-n", "20"}).out, c.all);
    }
  }
  // Four features: the field multiplier 1/sqrt(4) or the kernel norm halves
  // every dot product, on both routes.
  for (bool field_norm : {true, false}) {
    EXPECT_EQ(decode("m", linear_model(11, field_norm, !field_norm), "a b c\na\n", {"-n", "3"}).out,
              P("c7", 1.125) + P("c10", 1.0) + P("c3", 0.875) + "\n" + P("c7", 2.25) +
                  P("c10", 1.5) + P("c9", 1.25) + "\n");
    EXPECT_EQ(decode("m", linear_model(10, field_norm, !field_norm), "a b c\na\n", {"-n", "3"}).out,
              P("c7", 1.125) + P("c3", 0.875) + P("c8", 0.75) + "\n" + P("c7", 2.25) +
                  P("c9", 1.25) + P("c8", 1) + "\n");
  }
  EXPECT_EQ(decode("m/", linear_model(11), "a\n").out, P("c7", 2.25) + "\n");  // trailing slash
}

// Trivial: constant bias, or -85 without one. Not initialised (no "weights"):
// output factor 0, so the bias alone, 1e37 when unset.
const std::string kConstantClassifiers =
    std::string(kLinearKernel) +
    "classifier t_pos { trivial = true bias = 0.75 }\n"
    "classifier t_nobias { trivial = true }\n"
    "classifier noinit { bias = -0.5 }\n"
    "classifier noinit_nobias { }\n"
    "classifier lin { kernels = { k0 } vecfile = { lin.txt } weights = { 1 } bias = 0 }\n";
const Files kConstantModel = {{"zanda.parm", kConstantClassifiers},
                              {"lin.txt", "vector w { type = weight field = 0 0 = 1 }\n"}};

TEST_F(DecoderTest, ConstantClassifiersNbestMarkersAndTiming) {
  const std::string top = P("noinit_nobias", 1e37);
  const std::string a = top + P("lin", 1) + P("t_pos", 0.75) + P("noinit", -0.5);
  const std::string empty = top + P("t_pos", 0.75) + P("lin", 0) + P("noinit", -0.5);
  Result r = decode("m", kConstantModel, "a\nzzz\n", {"-n", "9"});
  EXPECT_EQ(r.out, a + P("t_nobias", -85) + "\n" + empty + P("t_nobias", -85) + "\n");
  // The same classifiers among twelve go through the index and score alike;
  // the fillers' constants lie between the noinit and t_nobias scores.
  std::string fillers;
  for (int k = 1; k <= 7; k++)
    fillers += "classifier f" + std::to_string(k) + " { trivial = true bias = -" +
               std::to_string(20 + k) + " }\n";
  Files twelve = kConstantModel;
  twelve[0].second += fillers;
  r = decode("m12", twelve, "a\nzzz\n", {"-n", "4"});
  EXPECT_EQ(r.out, a + "\n" + empty + "\n");
  EXPECT_TRUE(contains(r.err, "Building inverted index for 1 fields\n"));

  const std::string input = "a\nthe ...EOS... marker\n...EOS...\n\n";
  EXPECT_EQ(decode("m", kConstantModel, input).out,  // default: one class
            top + "\n...EOS...\n...EOS...\n" + top + "\n");
  EXPECT_EQ(decode("m", kConstantModel, input, {"-n", "3"}).out,
            top + P("lin", 1) + P("t_pos", 0.75) + "\n...EOS...\n...EOS...\n" + top +
                P("t_pos", 0.75) + P("lin", 0) + "\n");
  for (const char* n : {"0", "-2"}) {
    r = decode("m", kConstantModel, input, {"-n", n});
    EXPECT_EQ(r.out, "\n...EOS...\n...EOS...\n\n") << n;
    EXPECT_EQ(r.status, 0);
    EXPECT_FALSE(contains(r.err, "Total instances"));
  }
  // A line longer than the read buffer is answered once per 999998-character piece.
  EXPECT_EQ(decode("m", kConstantModel, "a" + std::string(999997, ' ') + "\n", {"-n", "2"}).out,
            top + P("lin", 1) + "\n" + top + P("t_pos", 0.75) + "\n");

  r = decode("m", kConstantModel, "a\n...EOS...\nb\n", {"-v"});
  EXPECT_EQ(r.out, top + "\n...EOS...\n" + top + "\n");
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\nLoading Time [0-9]+\\.[0-9]{6} secs\n")))
      << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("Total instances: 2\n Total time: -?[0-9]+, Average Decoding Time "
                        "-?[0-9]+\\.[0-9]{6} ms per instance\n$")))
      << r.err;
  r = decode("m", kConstantModel, "...EOS...\n", {"-v"});
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("Total instances: 0\n Total time: 0, Average Decoding Time -?nan ms per "
                        "instance\n$")))
      << r.err;
}

// Records (index, value) of a binary vector file.
const std::string kBinary = zdtest::Records({{0, 0.5f}, {4, -0.25f}, {7, 1.5f}});
const std::string kRestrict =
    "field f0 { }\n"
    "kernel k0 { type = linear restrict = 0 fields = { f0 } weights = { 1 } }\n"
    "classifier r1 { kernels = { k0 } vecfile = { r1.txt } weights = { 1 } bias = 0 }\n"
    "classifier r2 { kernels = { k0 } vecfile = { r2.txt } weights = { 1 } bias = 0 }\n"
    "classifier r3 { kernels = { k0 } vecfile = { r3.txt } weights = { 1 } bias = 0 }\n";
const Files kRestrictVectors = {
    {"r1.txt", "vector w { type = weight 0 = 1 }\nvector r { type = restrict 4 = 1 }\n"},
    {"r2.txt", "vector w { type = weight 0 = 0.5 }\nvector r { type = restrict 0 = 1 7 = 1 }\n"},
    {"r3.txt", "vector w { type = weight 0 = 2 }\n"}};

Files with(Files files, const std::string& parm) {
  files.push_back({"zanda.parm", parm});
  return files;
}

TEST_F(DecoderTest, ModelsOfSupervisorsBinaryVectorsAndRestrictions) {
  const std::string fail = "1e-37 ";
  const struct {
    std::string what;
    Files model;
    std::string input, nbest, out, err;
  } cases[] = {
      {"supervisor naming a classifier without block: it stays empty",
       {{"zanda.parm", std::string(kLinearKernel) +
                           "classifier c0 { kernels = { k0 } vecfile = { w0.txt } weights = { 1 } "
                           "bias = 0 }\n"
                           "classifier c2 { kernels = { k0 } vecfile = { w2.txt } weights = { 1 } "
                           "bias = 0.5 }\n"
                           "supervisor s0 { p = alpha clf = c0 }\n"
                           "supervisor s1 { p = beta clf = missing }\n"
                           "supervisor s2 { p = gamma clf = c2 }\n"},
        {"w0.txt", "vector w { type = weight field = 0 0 = 1 }\n"},
        {"w2.txt", "vector w { type = weight field = 0 4 = 1 }\n"}},
       "a\nb\n",
       "3",
       P("alpha", 1) + P("gamma", 0.5) + P("beta", -85) + "\n" + P("gamma", 1.5) + P("alpha", 0) +
           P("beta", -85) + "\n",
       ""},
      {"no classifier block at all: constants, ties as 1, 0",
       {{"zanda.parm", "supervisor s0 { p = alpha }\nsupervisor s1 { p = beta }\n"}},
       "a\n",
       "5",
       P("beta", -85) + P("alpha", -85) + "\n",
       "MultiCategData::load_mdl_parms: no classes to load\n"},
      {"no classifier: empty lines",
       {{"zanda.parm", kLinearKernel}},
       "a\n...EOS...\nzzz\n",
       "3",
       "\n...EOS...\n\n",
       ""},
      // p only: the class; p and n: "p#n"; no p: empty. Supervisors without
      // clf name the blocks clf0, clf1, ... in order.
      {"supervisor kinds",
       {{"zanda.parm", std::string(kLinearKernel) +
                           "classifier clf0 { trivial = true bias = 0.5 }\n"
                           "classifier explicit { trivial = true bias = 0.25 }\n"
                           "classifier clf1 { trivial = true bias = -0.25 }\n"
                           "classifier clf2 { trivial = true bias = -0.5 }\n"
                           "classifier other { trivial = true bias = 1 }\n"
                           "supervisor a { p = sports }\n"
                           "supervisor b { p = news n = sports clf = explicit }\n"
                           "supervisor c { n = weather }\n"
                           "supervisor d { }\n"
                           "supervisor e { p = weather n = \"news\" clf = other }\n"}},
       "a\n",
       "5",
       P("weather#news", 1) + P("sports", 0.5) + P("news#sports", 0.25) + P("", -0.25) +
           P("", -0.5) + "\n",
       "Initialized 5 classifiers  for 3 classes\nClasses: sports news weather \n"},
      // The binary file replaces the text entries: block one gets (0, 0.5)
      // and (4, -0.25), block two (7, 1.5); both weight sets of field 0 add up.
      {"binary vector file",
       {{"zanda.parm",
         std::string(kLinearKernel) +
             "classifier binc { kernels = { k0 } vecfile = { b.txt } binfile = w.bin weights = { "
             "1 } bias = 0 }\n"
             "classifier textc { kernels = { k0 } vecfile = { t.txt } weights = { 1 } bias = 0 "
             "}\n"},
        {"b.txt",
         "vector v0 { type = weight field = 0 binsize = 2 0 = 5 }\n"
         "vector v1 { type = weight field = 0 binsize = 1 }\n"},
        {"w.bin", kBinary},
        {"t.txt", "vector v { type = weight field = 0 0 = 0.25 }\n"}},
       "a\nb\nd e\n",
       "2",
       P("binc", 0.5) + P("textc", 0.25) + "\n" + P("textc", 0) + P("binc", -0.25) + "\n" +
           P("binc", 1.5) + P("textc", 0) + "\n",
       ""},
      // A sample must share an index with the classifier's restrict set, else
      // the classifier scores -1e37; without a restrict set it always fails.
      {"restriction on field 0", with(kRestrictVectors, kRestrict), "a\nb a\na b c\n", "3",
       P("r2", 0.5) + "r3:" + fail + "r1:" + fail + "\n" + P("r1", 0) + "r3:" + fail +
           "r2:" + fail + "\n" + P("r2", 0.5) + "r3:" + fail + "r1:" + fail + "\n",
       ""},
      // The line's sample has no features on field 2: every classifier fails
      // (three ties: 1, 2, 0).
      {"restriction on a missing field",
       with(kRestrictVectors,
            std::regex_replace(kRestrict, std::regex("restrict = 0"), "restrict = 2")),
       "a\n", "3", "r2:" + fail + "r3:" + fail + "r1:" + fail + "\n", ""},
  };
  int k = 0;
  for (const auto& c : cases) {
    Result r = decode("case" + std::to_string(k++), c.model, c.input, {"-n", c.nbest});
    EXPECT_EQ(r.out, c.out) << c.what;
    EXPECT_TRUE(contains(r.err, c.err)) << c.what << "\n" << r.err;
    EXPECT_EQ(r.status, 0) << c.what;
  }
}

// Support vectors 0 = {0,1,2,3}, 1 = {4}, 2 = {0,4,7,9} on a normalised
// field, so cosines are dot * mult(x) * mult(sv) with mult = 1/sqrt(size).
// Classifier k (linear kernel): 2 * (1.5 K0 - 0.5 K1 + 0.25 K2) - 0.5.
// Classifier p3 (poly, pow 3): (cos0 + 1)^3 - 1 on support vector 0 only.
TEST_F(DecoderTest, KernelModelsOverGzipAndPlainFieldData) {
  const char sv[] = " 0 1 2 3\n 4\n 0 4 7 9\n";
  auto model = [&](const char* field) {
    return Files{
        {"zanda.parm",
         std::string(field) +
             "kernel kl { type = linear fields = { f0 } weights = { 1 } }\n"
             "kernel kp { type = poly pow = 3 fields = { f0 } weights = { 1 } }\n"
             "classifier k { kernels = { kl } vecfile = { svk.txt } weights = { 2 } bias = -0.5 "
             "}\n"
             "classifier p3 { kernels = { kp } vecfile = { svp.txt } weights = { 1 } bias = 0 }\n"},
        {"svk.txt", "vector v { type = supvec field = 0 0 = 1.5 1 = -0.5 2 = 0.25 }\n"},
        {"svp.txt", "vector v { type = supvec field = 0 0 = 1 }\n"}};
  };
  // The first field of the process without "protofile" reads data0.gz.
  Files gz = model("field f0 { norm = true }\n"),
        plain = model("field f0 { norm = true zlib = false protofile = sv.dat }\n");
  gz.push_back({"data0.gz", sv});
  plain.push_back({"sv.dat", sv});
  const double cos_de = 2 * 0.5 * static_cast<double>(static_cast<float>(1 / std::sqrt(2.0)));
  const std::string expected = P("p3", 7) + P("k", 2 * (1.5 + 0.25 * 0.25) - 0.5) + "\n" +
                               P("p3", 2.375) + P("k", 2 * (1.5 * 0.5 + 0.25 * 0.5) - 0.5) + "\n" +
                               P("p3", 0) + P("k", 2 * (-0.5 + 0.25 * 0.5) - 0.5) + "\n" +
                               P("p3", 0) + P("k", 2 * 0.25 * cos_de - 0.5) + "\n" + P("p3", 0) +
                               P("k", -0.5) + "\n";
  for (const auto& m : {std::make_pair("gz", gz), std::make_pair("plain", plain)}) {
    Result r = decode(m.first, m.second, "a b c\na\nb\nd e\nzzz\n", {"-n", "2"});
    EXPECT_EQ(r.out, expected) << m.first;
    EXPECT_EQ(r.status, 0) << m.first;
  }

  // Classifier 4 of an eleven-class model as a support-vector classifier on
  // the same linear kernel (unnormalised: K = x . sv), with coefficients
  // 1.375 on {0, 2} and -1 on {4}: the index is not built.
  Files eleven = linear_model(11);
  std::string& parm = eleven.back().second;
  parm.replace(parm.find("field f0 { norm = false }"), 25,
               "field f0 { norm = false zlib = false protofile = sv.dat }");
  parm.replace(parm.find("v4.txt"), 6, "s4.txt");
  eleven.push_back({"sv.dat", " 0 2\n 4\n"});
  eleven.push_back({"s4.txt", "vector v { type = supvec field = 0 0 = 1.375 1 = -1 }\n"});
  Result r = decode("m", eleven, "a b c\na\nb\n", {"-n", "3"});
  EXPECT_EQ(r.out, P("c4", 2.75) + P("c7", 2.25) + P("c10", 2.0) + "\n" + P("c7", 2.25) +
                       P("c10", 1.5) + P("c4", 1.375) + "\n" + P("c0", 1) + P("c1", 0.75) +
                       P("c2", 0.5) + "\n");
  EXPECT_TRUE(contains(r.err, "No inverted index: fier 4 not linear\n"));
  EXPECT_FALSE(contains(r.err, "Building inverted index"));
}

// Ten trivial classifiers t0..t7, tnobias, t1e37 with biases -86, 86, 0,
// -85, 85, 0.3, -0.3, 40, none and 1e37 (the "not given" value). Three ties
// at 1 and three at the -85 floor come out in the heapsort's order.
TEST_F(DecoderTest, SigmoidClampsAndTiesOnAStoredModel) {
  Result r = run_decoder(
      {"-m", std::string(TEST_DATA_DIR) + "/e2e/clamps", "-d", dir + "dict.txt", "-n", "10"},
      "a b\n\n");
  std::string line = P("t7", 40) + P("t1", 86) + P("t4", 85) + P("t5", 0.3) + P("t2", 0) +
                     P("t6", -0.3) + P("t1e37", -85) + P("tnobias", -85) + P("t3", -85) +
                     P("t0", -86) + "\n";
  EXPECT_EQ(r.out, line + line);
  EXPECT_EQ(line.substr(0, 15), "t7:1 t1:1 t4:1 ");
  EXPECT_EQ(r.status, 0);
}

// Bad command lines print the usage text; a user-input error in the model is
// written twice (the trace stream is standard error). The dictionary and model
// faults met on other paths are run by the bad-input corpus.
TEST_F(DecoderTest, BadCommandLinesAndModelErrors) {
  decode("m", linear_model(3), "a\n");
  const std::string m = dir + "m", d = dir + "dict.txt", decoder = DECODER_PATH;
  const std::string usage = "Usage: " + decoder +
                            " [-opts] \nOptions:\n -n nbest output \n -m modelfile ascii model "
                            "file \n -d feature dictionary file \n";
  const std::pair<std::vector<std::string>, std::string> cases[] = {
      {{}, usage},
      {{"-v"}, usage},
      {{"-m", m}, usage},                     // no dictionary
      {{"-d", d, "-v"}, usage},               // no model
      {{"-m", m, "-d", d, "x", "y"}, usage},  // two leftover arguments
      {{"-m", m, "-d", d, "-?"}, usage},
      {{"-m", m, "-d", d, "-x"}, decoder + ": invalid option -- 'x'\n" + usage},
      {{"-d", d, "-m"}, decoder + ": option requires an argument -- 'm'\n" + usage},
  };
  for (const auto& c : cases) {
    Result r = run_decoder(c.first, "a\n");
    EXPECT_EQ(r.err, c.second) << c.first.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
  Result r = run_decoder({"-m", m, "leftover", "-d", d}, "a\n");  // one leftover is ignored
  EXPECT_EQ(r.out, P("c2", -0.5) + "\n");
  EXPECT_EQ(r.status, 0);

  auto user_error = [](const std::string& label, const std::string& msg) {
    return label + ": " + msg + msg + "\nPlease verify first your input model and your data\n";
  };
  const std::string no_kernel = "field f0 { }\nclassifier t { trivial = true bias = 1 }\n";
  const std::string comma = std::string(kLinearKernel) + "classifier c0 { kernels = { k0 k1 } }\n";
  const std::pair<Result, std::string> errors[] = {
      {decode("nok", {{"zanda.parm", no_kernel}}, "a\n"),
       user_error("MultiCategData::load_mdl_parms", "Parameter file contains no kernel")},
      {decode("comma", {{"zanda.parm", comma}}, "a\n"),
       user_error("ParmList::load",
                  "k1 found instead of ,\nLINE: [classifier c0 { kernels = { "
                  "k0 k1 } } ]\nFILE: " +
                      dir + "comma/zanda.parm\n")},
  };
  for (const auto& e : errors) {
    const std::string& err = e.first.err;
    EXPECT_EQ(err.substr(err.size() - std::min(err.size(), e.second.size())), e.second);
    EXPECT_EQ(e.first.out, "");
    EXPECT_EQ(e.first.status, 1);
  }

  // The model loads before the dictionary: a missing dictionary is reported
  // after the whole model trace, and a bad model is what a run with both
  // faults reports.
  const std::string absent = dir + "absent.txt";
  Result no_dict = run_decoder({"-m", m, "-d", absent}, "a\n");
  const std::string tail =
      "********** LOADED 3 models\n\ncan't open " + absent + " -- lexiconread\n";
  EXPECT_EQ(no_dict.err.substr(no_dict.err.size() - std::min(no_dict.err.size(), tail.size())),
            tail);
  EXPECT_EQ(no_dict.status, 255);
  Result both = run_decoder({"-m", dir + "nok", "-d", absent}, "a\n");
  EXPECT_EQ(both.err.find("lexiconread"), std::string::npos) << both.err;
  EXPECT_NE(both.err.find("Parameter file contains no kernel"), std::string::npos);
  EXPECT_EQ(both.status, 1);
}

}  // namespace
