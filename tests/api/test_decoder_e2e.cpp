// Runs the built decoder as a process on small model directories and checks
// standard output byte for byte, the diagnostics and the exit status. Every
// expected score is the sigmoid of a raw output worked out by hand from the
// weights written below.
#include <fcntl.h>
#include <ftw.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zlib.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

namespace {

struct Result {
  std::string out;
  std::string err;
  int status = -1;  // exit status; -1 when a signal ended the process
  int signal = 0;
};

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

void spit(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary);
  out << text;
}

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

// A fresh directory under the test temp dir, removed with its content.
class TempDir {
 public:
  TempDir() {
    std::string pattern = ::testing::TempDir() + "e2eXXXXXX";
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (!mkdtemp(buf.data())) ADD_FAILURE() << "mkdtemp failed";
    dir_ = buf.data();
  }
  ~TempDir() { nftw(dir_.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS); }
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  std::string path(const std::string& name = "") const { return dir_ + "/" + name; }
  // Writes `text` to `name`, creating the one directory level it names.
  void write(const std::string& name, const std::string& text) const {
    size_t slash = name.find('/');
    if (slash != std::string::npos) mkdir(path(name.substr(0, slash)).c_str(), 0755);
    spit(path(name), text);
  }
  void write_gz(const std::string& name, const std::string& text) const {
    gzFile gz = gzopen(path(name).c_str(), "wb");
    gzwrite(gz, text.data(), static_cast<unsigned>(text.size()));
    gzclose(gz);
  }

 private:
  std::string dir_;
};

// Runs the decoder with `args` and `input` on standard input.
Result run_decoder(const std::vector<std::string>& args, const std::string& input) {
  TempDir io;
  io.write("in", input);
  pid_t pid = fork();
  if (pid == 0) {
    int in = open(io.path("in").c_str(), O_RDONLY);
    int out = open(io.path("out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    int err = open(io.path("err").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    dup2(in, 0);
    dup2(out, 1);
    dup2(err, 2);
    rlimit no_core = {0, 0};
    setrlimit(RLIMIT_CORE, &no_core);
    // Fatal errors exit in the middle of loading and leave its state behind.
    setenv("ASAN_OPTIONS", "detect_leaks=0", 1);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(DECODER_PATH));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    execv(DECODER_PATH, argv.data());
    _exit(127);
  }
  int wstatus = 0;
  waitpid(pid, &wstatus, 0);
  Result r;
  r.out = slurp(io.path("out"));
  r.err = slurp(io.path("err"));
  if (WIFEXITED(wstatus)) r.status = WEXITSTATUS(wstatus);
  if (WIFSIGNALED(wstatus)) r.signal = WTERMSIG(wstatus);
  return r;
}

// Decoder score of a raw classifier output.
double sig(double x) {
  return x < -85 ? 1e-37 : x > 85 ? 1.0 : 1.0 / (std::exp(-x) + 1.0);
}

// One printed pair for class `name` with raw output x.
std::string P(const char* name, double x) {
  char buf[256];
  snprintf(buf, sizeof buf, "%s:%g ", name, sig(x));
  return buf;
}

bool contains(const std::string& text, const std::string& part) {
  return text.find(part) != std::string::npos;
}

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() &&
         text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// Feature indices of the lines used below:
//   "a b c" -> {0, 1, 2, 3}   "a" -> {0}   "b" -> {4}   "b a" -> {4, 6, 8}
//   "d e" -> {7, 9}           "c" -> {5}   "zzz" and "" -> {}
const char kDict[] =
    "0 a_1\n1 b_2\n2 c_3\n3 a_1 b_2\n4 b_1\n5 c_1\n6 a_2\n7 d_1\n8 b_1 a_2\n9 e_2\n";

const char kLinearKernel[] =
    "field f0 { }\n"
    "kernel k0 { type = linear fields = { f0 } weights = { 1 } }\n";

struct LinearOptions {
  bool field_norm = false;
  bool kernel_norm = false;
  bool two_kernels = false;  // odd classifiers use a second, identical kernel
};

// Classifier i of the linear test models: weights a_1 = 0.25 i - 1, c_3 = 0.5
// (even i), "a_1 b_2" = 2 (i = 3), b_1 = 1 - 0.25 i; output factor 3 for i = 7,
// else 1; bias 0.25 for i = 5, else 0. No supervisor blocks: the classes are
// shown under their block names c0, c1, ...
void write_linear_model(const TempDir& dir, int nclass, LinearOptions opt = {}) {
  std::string parm =
      std::string("field f0 { norm = ") + (opt.field_norm ? "true" : "false") + " }\n";
  const char* knorm = opt.kernel_norm ? "true" : "false";
  parm += std::string("kernel k0 { type = linear norm = ") + knorm +
          " fields = { f0 } weights = { 1 } }\n";
  if (opt.two_kernels)
    parm += std::string("kernel k1 { type = linear norm = ") + knorm +
            " fields = { f0 } weights = { 1 } }\n";
  for (int i = 0; i < nclass; i++) {
    char buf[512];
    std::string vec = "vector w { type = weight field = 0\n";
    snprintf(buf, sizeof buf, " 0 = %g\n", 0.25 * i - 1);
    vec += buf;
    if (i % 2 == 0) vec += " 2 = 0.5\n";
    if (i == 3) vec += " 3 = 2\n";
    snprintf(buf, sizeof buf, " 4 = %g\n}\n", 1 - 0.25 * i);
    vec += buf;
    snprintf(buf, sizeof buf, "m/v%d.txt", i);
    dir.write(buf, vec);
    snprintf(buf, sizeof buf,
             "classifier c%d { kernels = { k%d } vecfile = { v%d.txt } weights = { %d } bias = "
             "%g }\n",
             i, opt.two_kernels ? i % 2 : 0, i, i == 7 ? 3 : 1, i == 5 ? 0.25 : 0.0);
    parm += buf;
  }
  dir.write("m/zanda.parm", parm);
}

class DecoderTest : public ::testing::Test {
 protected:
  void SetUp() override { dir.write("dict.txt", kDict); }

  Result decode(const std::string& model, const std::string& input,
                std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {"-m", dir.path(model), "-d", dir.path("dict.txt")};
    args.insert(args.end(), extra.begin(), extra.end());
    return run_decoder(args, input);
  }

  TempDir dir;
};

const char kLinearInput[] = "a\nb\na b c\nzzz\n...EOS...\n\nb a\n";

TEST_F(DecoderTest, ElevenLinearClassesAreScoredThroughTheIndex) {
  write_linear_model(dir, 11);
  Result r = decode("m", kLinearInput, {"-n", "3"});
  std::string zero = P("c5", 0.25) + P("c2", 0) + P("c3", 0) + "\n";       // heapsort tie order
  EXPECT_EQ(r.out, P("c7", 2.25) + P("c10", 1.5) + P("c9", 1.25) + "\n" +  //
                       P("c0", 1) + P("c1", 0.75) + P("c2", 0.5) + "\n" +  //
                       P("c7", 2.25) + P("c10", 2.0) + P("c3", 1.75) + "\n" + zero + "...EOS...\n" +
                       zero + P("c0", 1) + P("c1", 0.75) + P("c2", 0.5) + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_TRUE(contains(r.err, "No classifiers: will look for classes in label files\n"));
  EXPECT_TRUE(contains(r.err, "Building inverted index for 1 fields\n"));
  EXPECT_TRUE(contains(r.err, "********** LOADED 11 models\n"));
}

TEST_F(DecoderTest, TenLinearClassesAreScoredOneByOne) {
  write_linear_model(dir, 10);
  Result r = decode("m", kLinearInput, {"-n", "3"});
  std::string zero = P("c5", 0.25) + P("c2", 0) + P("c3", 0) + "\n";
  EXPECT_EQ(r.out, P("c7", 2.25) + P("c9", 1.25) + P("c8", 1) + "\n" +     //
                       P("c0", 1) + P("c1", 0.75) + P("c2", 0.5) + "\n" +  //
                       P("c7", 2.25) + P("c3", 1.75) + P("c8", 1.5) + "\n" + zero + "...EOS...\n" +
                       zero + P("c0", 1) + P("c1", 0.75) + P("c2", 0.5) + "\n");
  EXPECT_EQ(r.status, 0);
  EXPECT_FALSE(contains(r.err, "inverted index"));
  EXPECT_TRUE(contains(r.err, "********** LOADED 10 models\n"));
}

TEST_F(DecoderTest, TwoKernelsNeverUseTheIndex) {
  write_linear_model(dir, 11, {false, false, true});
  Result r = decode("m", "a b c\nb\n", {"-n", "3"});
  EXPECT_EQ(r.out, P("c7", 2.25) + P("c10", 2.0) + P("c3", 1.75) + "\n" + P("c0", 1) +
                       P("c1", 0.75) + P("c2", 0.5) + "\n");
  EXPECT_FALSE(contains(r.err, "inverted index"));
  EXPECT_EQ(r.status, 0);
}

// Ties come out in the heapsort's order, and -n beyond the class count prints
// every class once.
TEST_F(DecoderTest, EmptySampleListsEveryClassInHeapsortOrder) {
  write_linear_model(dir, 11);
  Result r = decode("m", "zzz\n", {"-n", "20"});
  EXPECT_EQ(r.out, P("c5", 0.25) + P("c2", 0) + P("c3", 0) + P("c4", 0) + P("c1", 0) + P("c6", 0) +
                       P("c7", 0) + P("c8", 0) + P("c9", 0) + P("c10", 0) + P("c0", 0) + "\n");
  TempDir ten;
  write_linear_model(ten, 10);
  r = run_decoder({"-m", ten.path("m"), "-d", dir.path("dict.txt"), "-n", "10"}, "zzz\n");
  EXPECT_EQ(r.out, P("c5", 0.25) + P("c2", 0) + P("c3", 0) + P("c4", 0) + P("c1", 0) + P("c6", 0) +
                       P("c7", 0) + P("c8", 0) + P("c9", 0) + P("c0", 0) + "\n");
}

// Four features: the field multiplier 1/sqrt(4) or the kernel norm halves
// every dot product, on both scoring routes.
TEST_F(DecoderTest, FieldAndKernelNormHalveFourFeatureSamples) {
  for (int n : {10, 11}) {
    for (bool field_norm : {true, false}) {
      TempDir m;
      LinearOptions opt;
      opt.field_norm = field_norm;
      opt.kernel_norm = !field_norm;
      write_linear_model(m, n, opt);
      Result r =
          run_decoder({"-m", m.path("m"), "-d", dir.path("dict.txt"), "-n", "3"}, "a b c\na\n");
      std::string first = n == 11 ? P("c7", 1.125) + P("c10", 1.0) + P("c3", 0.875)
                                  : P("c7", 1.125) + P("c3", 0.875) + P("c8", 0.75);
      std::string second = n == 11 ? P("c7", 2.25) + P("c10", 1.5) + P("c9", 1.25)
                                   : P("c7", 2.25) + P("c9", 1.25) + P("c8", 1);
      EXPECT_EQ(r.out, first + "\n" + second + "\n") << n << " classes, field norm " << field_norm;
    }
  }
}

// Trivial: constant bias, or -85 without one. Not initialised (no "weights"):
// output factor 0, so the bias alone, 1e37 when unset.
const char kConstantClassifiers[] =
    "classifier t_pos { trivial = true bias = 0.75 }\n"
    "classifier t_nobias { trivial = true }\n"
    "classifier noinit { bias = -0.5 }\n"
    "classifier noinit_nobias { }\n"
    "classifier lin { kernels = { k0 } vecfile = { lin.txt } weights = { 1 } bias = 0 }\n";

TEST_F(DecoderTest, TrivialAndUninitialisedClassifiers) {
  dir.write("m/zanda.parm", std::string(kLinearKernel) + kConstantClassifiers);
  dir.write("m/lin.txt", "vector w { type = weight field = 0 0 = 1 }\n");
  Result r = decode("m", "a\nzzz\n", {"-n", "9"});
  EXPECT_EQ(r.out, P("noinit_nobias", 1e37) + P("lin", 1) + P("t_pos", 0.75) + P("noinit", -0.5) +
                       P("t_nobias", -85) + "\n" +  //
                       P("noinit_nobias", 1e37) + P("t_pos", 0.75) + P("lin", 0) +
                       P("noinit", -0.5) + P("t_nobias", -85) + "\n");
  EXPECT_EQ(r.status, 0);

  // The same classifiers among twelve go through the index and score alike;
  // the fillers' constants lie between the noinit and t_nobias scores.
  std::string fillers;
  for (int k = 1; k <= 7; k++)
    fillers += "classifier f" + std::to_string(k) + " { trivial = true bias = -" +
               std::to_string(20 + k) + " }\n";
  dir.write("m/zanda.parm", std::string(kLinearKernel) + kConstantClassifiers + fillers);
  r = decode("m", "a\nzzz\n", {"-n", "4"});
  EXPECT_EQ(r.out, P("noinit_nobias", 1e37) + P("lin", 1) + P("t_pos", 0.75) + P("noinit", -0.5) +
                       "\n" + P("noinit_nobias", 1e37) + P("t_pos", 0.75) + P("lin", 0) +
                       P("noinit", -0.5) + "\n");
  EXPECT_TRUE(contains(r.err, "Building inverted index for 1 fields\n"));
}

TEST_F(DecoderTest, NamedClassifierWithoutBlockStaysEmpty) {
  dir.write("m/zanda.parm", std::string(kLinearKernel) +
                                "classifier c0 { kernels = { k0 } vecfile = { w0.txt } weights = "
                                "{ 1 } bias = 0 }\n"
                                "classifier c2 { kernels = { k0 } vecfile = { w2.txt } weights = "
                                "{ 1 } bias = 0.5 }\n"
                                "supervisor s0 { p = alpha clf = c0 }\n"
                                "supervisor s1 { p = beta clf = missing }\n"
                                "supervisor s2 { p = gamma clf = c2 }\n");
  dir.write("m/w0.txt", "vector w { type = weight field = 0 0 = 1 }\n");
  dir.write("m/w2.txt", "vector w { type = weight field = 0 4 = 1 }\n");
  Result r = decode("m", "a\nb\n", {"-n", "3"});
  EXPECT_EQ(r.out, P("alpha", 1) + P("gamma", 0.5) + P("beta", -85) + "\n" + P("gamma", 1.5) +
                       P("alpha", 0) + P("beta", -85) + "\n");
  EXPECT_EQ(r.status, 0);
}

// When no named classifier has a block the model loads nothing: every class
// keeps the empty classifier's constant, and ties come out as 1, 0.
TEST_F(DecoderTest, SupervisorsWithoutAnyClassifierBlock) {
  dir.write("m/zanda.parm", "supervisor s0 { p = alpha }\nsupervisor s1 { p = beta }\n");
  Result r = decode("m", "a\n", {"-n", "5"});
  EXPECT_EQ(r.out, P("beta", -85) + P("alpha", -85) + "\n");
  EXPECT_TRUE(contains(r.err, "MultiCategData::load_mdl_parms: no classes to load\n"));
  EXPECT_EQ(r.status, 0);
}

TEST_F(DecoderTest, ModelWithoutClassifiersPrintsEmptyLines) {
  dir.write("m/zanda.parm", kLinearKernel);
  Result r = decode("m", "a\n...EOS...\nzzz\n", {"-n", "3"});
  EXPECT_EQ(r.out, "\n...EOS...\n\n");
  EXPECT_EQ(r.status, 0);
}

// p only: the class; p and n: "p#n"; no p: empty. Supervisors without clf
// name the blocks clf0, clf1, ... in order.
TEST_F(DecoderTest, SupervisorKindsAndGeneratedClassifierNames) {
  dir.write("m/zanda.parm", std::string(kLinearKernel) +
                                "classifier clf0 { trivial = true bias = 0.5 }\n"
                                "classifier explicit { trivial = true bias = 0.25 }\n"
                                "classifier clf1 { trivial = true bias = -0.25 }\n"
                                "classifier clf2 { trivial = true bias = -0.5 }\n"
                                "classifier other { trivial = true bias = 1 }\n"
                                "supervisor a { p = sports }\n"
                                "supervisor b { p = news n = sports clf = explicit }\n"
                                "supervisor c { n = weather }\n"
                                "supervisor d { }\n"
                                "supervisor e { p = weather n = \"news\" clf = other }\n");
  Result r = decode("m", "a\n", {"-n", "5"});
  EXPECT_EQ(r.out, P("weather#news", 1) + P("sports", 0.5) + P("news#sports", 0.25) + P("", -0.25) +
                       P("", -0.5) + "\n");
  EXPECT_TRUE(
      contains(r.err, "Initialized 5 classifiers  for 3 classes\nClasses: sports news weather \n"));
  EXPECT_EQ(r.status, 0);
}

// Records (index, value) as little-endian int32 and float32.
std::string records(const std::vector<std::pair<int, float>>& recs) {
  std::string out;
  for (const auto& rec : recs) {
    char buf[8];
    memcpy(buf, &rec.first, 4);
    memcpy(buf + 4, &rec.second, 4);
    out.append(buf, 8);
  }
  return out;
}

// The binary file replaces the text entries: block one gets (0, 0.5) and
// (4, -0.25), block two (7, 1.5); both weight sets of field 0 add up.
TEST_F(DecoderTest, BinaryVectorFileReplacesTextEntries) {
  dir.write("m/zanda.parm",
            std::string(kLinearKernel) +
                "classifier binc { kernels = { k0 } vecfile = { b.txt } binfile = w.bin weights = "
                "{ 1 } bias = 0 }\n"
                "classifier textc { kernels = { k0 } vecfile = { t.txt } weights = { 1 } bias = 0 "
                "}\n");
  dir.write("m/b.txt",
            "vector v0 { type = weight field = 0 binsize = 2 0 = 5 }\n"
            "vector v1 { type = weight field = 0 binsize = 1 }\n");
  dir.write("m/w.bin", records({{0, 0.5f}, {4, -0.25f}, {7, 1.5f}}));
  dir.write("m/t.txt", "vector v { type = weight field = 0 0 = 0.25 }\n");
  Result r = decode("m", "a\nb\nd e\n", {"-n", "2"});
  EXPECT_EQ(r.out, P("binc", 0.5) + P("textc", 0.25) + "\n" + P("textc", 0) + P("binc", -0.25) +
                       "\n" + P("binc", 1.5) + P("textc", 0) + "\n");
  EXPECT_EQ(r.status, 0);
}

// Support vectors 0 = {0,1,2,3}, 1 = {4}, 2 = {0,4,7,9} on a normalised
// field, so cosines are dot * mult(x) * mult(sv) with mult = 1/sqrt(size).
// Classifier k (linear kernel): 2 * (1.5 K0 - 0.5 K1 + 0.25 K2) - 0.5.
// Classifier p3 (poly, pow 3): (cos0 + 1)^3 - 1 on support vector 0 only.
const char kSupportVectors[] = " 0 1 2 3\n 4\n 0 4 7 9\n";

std::string kernel_parm(const char* field) {
  return std::string(field) +
         "kernel kl { type = linear fields = { f0 } weights = { 1 } }\n"
         "kernel kp { type = poly pow = 3 fields = { f0 } weights = { 1 } }\n"
         "classifier k { kernels = { kl } vecfile = { svk.txt } weights = { 2 } bias = -0.5 }\n"
         "classifier p3 { kernels = { kp } vecfile = { svp.txt } weights = { 1 } bias = 0 }\n";
}

TEST_F(DecoderTest, KernelModelsOverGzipAndPlainFieldData) {
  // The first field of the process without "protofile" reads data0.gz.
  dir.write("gz/zanda.parm", kernel_parm("field f0 { norm = true }\n"));
  dir.write_gz("gz/data0.gz", kSupportVectors);
  dir.write("plain/zanda.parm",
            kernel_parm("field f0 { norm = true zlib = false protofile = sv.dat }\n"));
  dir.write("plain/sv.dat", kSupportVectors);
  for (const char* m : {"gz/", "plain/"}) {
    dir.write(std::string(m) + "svk.txt",
              "vector v { type = supvec field = 0 0 = 1.5 1 = -0.5 2 = 0.25 }\n");
    dir.write(std::string(m) + "svp.txt", "vector v { type = supvec field = 0 0 = 1 }\n");
  }
  const double cos_de = 2 * 0.5 * static_cast<double>(static_cast<float>(1 / std::sqrt(2.0)));
  std::string expected = P("p3", 7) + P("k", 2 * (1.5 + 0.25 * 0.25) - 0.5) + "\n" +
                         P("p3", 2.375) + P("k", 2 * (1.5 * 0.5 + 0.25 * 0.5) - 0.5) + "\n" +
                         P("p3", 0) + P("k", 2 * (-0.5 + 0.25 * 0.5) - 0.5) + "\n" + P("p3", 0) +
                         P("k", 2 * 0.25 * cos_de - 0.5) + "\n" + P("p3", 0) + P("k", -0.5) + "\n";
  for (const char* m : {"gz", "plain"}) {
    Result r = decode(m, "a b c\na\nb\nd e\nzzz\n", {"-n", "2"});
    EXPECT_EQ(r.out, expected) << m;
    EXPECT_EQ(r.status, 0) << m;
  }
}

// Classifier 4 of an eleven-class model is a support-vector classifier on
// the same linear kernel (unnormalised: K = x . sv), with coefficients
// 1.375 on {0, 2} and -1 on {4}.
TEST_F(DecoderTest, OneKernelClassifierDisablesTheIndex) {
  write_linear_model(dir, 11);
  std::string parm = slurp(dir.path("m/zanda.parm"));
  parm.replace(parm.find("field f0 { norm = false }"), 25,
               "field f0 { norm = false zlib = false protofile = sv.dat }");
  parm.replace(parm.find("v4.txt"), 6, "s4.txt");
  dir.write("m/zanda.parm", parm);
  dir.write("m/sv.dat", " 0 2\n 4\n");
  dir.write("m/s4.txt", "vector v { type = supvec field = 0 0 = 1.375 1 = -1 }\n");
  Result r = decode("m", "a b c\na\nb\n", {"-n", "3"});
  EXPECT_EQ(r.out, P("c4", 2.75) + P("c7", 2.25) + P("c10", 2.0) + "\n" +       //
                       P("c7", 2.25) + P("c10", 1.5) + P("c4", 1.375) + "\n" +  //
                       P("c0", 1) + P("c1", 0.75) + P("c2", 0.5) + "\n");
  EXPECT_TRUE(contains(r.err, "No inverted index: fier 4 not linear\n"));
  EXPECT_FALSE(contains(r.err, "Building inverted index"));
  EXPECT_EQ(r.status, 0);
}

// Kernel restriction on field 0: a sample must share an index with the
// classifier's restrict set, else the classifier scores -1e37; without a
// restrict set it always fails.
TEST_F(DecoderTest, RestrictionSets) {
  dir.write("m/zanda.parm",
            "field f0 { }\n"
            "kernel k0 { type = linear restrict = 0 fields = { f0 } weights = { 1 } }\n"
            "classifier r1 { kernels = { k0 } vecfile = { r1.txt } weights = { 1 } bias = 0 }\n"
            "classifier r2 { kernels = { k0 } vecfile = { r2.txt } weights = { 1 } bias = 0 }\n"
            "classifier r3 { kernels = { k0 } vecfile = { r3.txt } weights = { 1 } bias = 0 }\n");
  dir.write("m/r1.txt", "vector w { type = weight 0 = 1 }\nvector r { type = restrict 4 = 1 }\n");
  dir.write("m/r2.txt",
            "vector w { type = weight 0 = 0.5 }\nvector r { type = restrict 0 = 1 7 = 1 }\n");
  dir.write("m/r3.txt", "vector w { type = weight 0 = 2 }\n");
  Result r = decode("m", "a\nb a\na b c\n", {"-n", "3"});
  std::string fail = "1e-37 ";
  EXPECT_EQ(r.out, P("r2", 0.5) + "r3:" + fail + "r1:" + fail + "\n" +    //
                       P("r1", 0) + "r3:" + fail + "r2:" + fail + "\n" +  //
                       P("r2", 0.5) + "r3:" + fail + "r1:" + fail + "\n");
  EXPECT_EQ(r.status, 0);

  // A restriction on field 2 of a one-field model: the line's sample has no
  // features there, so every classifier fails (three ties: 1, 2, 0).
  std::string parm = slurp(dir.path("m/zanda.parm"));
  parm.replace(parm.find("restrict = 0"), 12, "restrict = 2");
  dir.write("m/zanda.parm", parm);
  r = decode("m", "a\n", {"-n", "3"});
  EXPECT_EQ(r.out, "r2:" + fail + "r3:" + fail + "r1:" + fail + "\n");
  EXPECT_EQ(r.status, 0);
}

TEST_F(DecoderTest, NbestCountsAndMarkerLines) {
  dir.write("m/zanda.parm", std::string(kLinearKernel) + kConstantClassifiers);
  dir.write("m/lin.txt", "vector w { type = weight field = 0 0 = 1 }\n");
  const std::string input = "a\nthe ...EOS... marker\n...EOS...\n\n";
  const std::string empty = P("noinit_nobias", 1e37) + P("t_pos", 0.75) + P("lin", 0);

  Result r = decode("m", input);  // default: one class
  EXPECT_EQ(r.out, P("noinit_nobias", 1e37) + "\n...EOS...\n...EOS...\n" +
                       P("noinit_nobias", 1e37) + "\n");
  r = decode("m", input, {"-n", "3"});
  EXPECT_EQ(r.out, P("noinit_nobias", 1e37) + P("lin", 1) + P("t_pos", 0.75) +
                       "\n...EOS...\n...EOS...\n" + empty + "\n");
  for (const char* n : {"0", "-2"}) {
    r = decode("m", input, {"-n", n});
    EXPECT_EQ(r.out, "\n...EOS...\n...EOS...\n\n") << n;
  }
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.err.find("Total instances"), std::string::npos);
}

// A line longer than the read buffer is answered once per 999998-character
// piece.
TEST_F(DecoderTest, OverlongLineIsReadInPieces) {
  dir.write("m/zanda.parm", std::string(kLinearKernel) + kConstantClassifiers);
  dir.write("m/lin.txt", "vector w { type = weight field = 0 0 = 1 }\n");
  std::string line = "a" + std::string(999997, ' ') + "\n";
  Result r = decode("m", line, {"-n", "2"});
  EXPECT_EQ(r.out, P("noinit_nobias", 1e37) + P("lin", 1) + "\n" + P("noinit_nobias", 1e37) +
                       P("t_pos", 0.75) + "\n");
}

TEST_F(DecoderTest, TimingReportsWithV) {
  dir.write("m/zanda.parm", std::string(kLinearKernel) + kConstantClassifiers);
  dir.write("m/lin.txt", "vector w { type = weight field = 0 0 = 1 }\n");
  Result r = decode("m", "a\n...EOS...\nb\n", {"-v"});
  EXPECT_EQ(r.out, P("noinit_nobias", 1e37) + "\n...EOS...\n" + P("noinit_nobias", 1e37) + "\n");
  EXPECT_TRUE(std::regex_search(r.err, std::regex("\nLoading Time [0-9]+\\.[0-9]{6} secs\n")))
      << r.err;
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("Total instances: 2\n Total time: -?[0-9]+, Average Decoding Time "
                        "-?[0-9]+\\.[0-9]{6} ms per instance\n$")))
      << r.err;

  r = decode("m", "...EOS...\n", {"-v"});
  EXPECT_TRUE(std::regex_search(
      r.err, std::regex("Total instances: 0\n Total time: 0, Average Decoding Time -?nan ms per "
                        "instance\n$")))
      << r.err;
  EXPECT_EQ(r.status, 0);
}

// Ten trivial classifiers t0..t7, tnobias, t1e37 with biases -86, 86, 0,
// -85, 85, 0.3, -0.3, 40, none and 1e37 (the "not given" value). Three ties
// at 1 and three at the -85 floor come out in the heapsort's order.
TEST_F(DecoderTest, SigmoidClampsAndTiesOnAStoredModel) {
  Result r = run_decoder(
      {"-m", std::string(TEST_DATA_DIR) + "/e2e/clamps", "-d", dir.path("dict.txt"), "-n", "10"},
      "a b\n\n");
  std::string line = P("t7", 40) + P("t1", 86) + P("t4", 85) + P("t5", 0.3) + P("t2", 0) +
                     P("t6", -0.3) + P("t1e37", -85) + P("tnobias", -85) + P("t3", -85) +
                     P("t0", -86) + "\n";
  EXPECT_EQ(r.out, line + line);
  EXPECT_EQ(line.substr(0, 15), "t7:1 t1:1 t4:1 ");
  EXPECT_EQ(r.status, 0);
}

TEST_F(DecoderTest, ModelDirectoryWithTrailingSlash) {
  write_linear_model(dir, 11);
  Result r = decode("m/", "a\n", {"-n", "1"});
  EXPECT_EQ(r.out, P("c7", 2.25) + "\n");
  EXPECT_EQ(r.status, 0);
}

// ---- command line ----

std::string usage() {
  return std::string("Usage: ") + DECODER_PATH +
         " [-opts] \nOptions:\n -n nbest output \n -m modelfile ascii model file \n -d feature "
         "dictionary file \n";
}

TEST_F(DecoderTest, BadCommandLinesPrintUsage) {
  write_linear_model(dir, 3);
  const std::string m = dir.path("m"), d = dir.path("dict.txt");
  const std::vector<std::vector<std::string>> bad = {
      {},
      {"-v"},
      {"-m", m},                     // no dictionary
      {"-d", d, "-v"},               // no model
      {"-m", m, "-d", d, "x", "y"},  // two leftover arguments
      {"-m", m, "-d", d, "-?"},
  };
  for (const auto& args : bad) {
    Result r = run_decoder(args, "a\n");
    EXPECT_EQ(r.err, usage()) << args.size();
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.status, 1);
  }
  Result r = run_decoder({"-m", m, "-d", d, "-x"}, "a\n");
  EXPECT_EQ(r.err, std::string(DECODER_PATH) + ": invalid option -- 'x'\n" + usage());
  EXPECT_EQ(r.status, 1);
  r = run_decoder({"-d", d, "-m"}, "a\n");
  EXPECT_EQ(r.err, std::string(DECODER_PATH) + ": option requires an argument -- 'm'\n" + usage());
  EXPECT_EQ(r.status, 1);

  r = run_decoder({"-m", m, "leftover", "-d", d}, "a\n");  // one leftover is ignored
  EXPECT_EQ(r.out, P("c2", -0.5) + "\n");
  EXPECT_EQ(r.status, 0);
}

// ---- fatal input ----

TEST_F(DecoderTest, DictionaryErrorsExitWith255) {
  write_linear_model(dir, 3);
  Result r = run_decoder({"-m", dir.path("m"), "-d", dir.path("none.txt")}, "a\n");
  EXPECT_TRUE(ends_with(r.err, "can't open " + dir.path("none.txt") + " -- lexiconread\n"))
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 255);

  dir.write("bad.txt", "0 a_1\n1 b_2\n\n3 c_3\n");
  r = run_decoder({"-m", dir.path("m"), "-d", dir.path("bad.txt")}, "a\n");
  EXPECT_TRUE(ends_with(r.err, "wrong number of columns at 2 in " + dir.path("bad.txt") +
                                   " file\n\t Offending line: \n"))
      << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 255);
}

// A user-input error is written twice (the trace stream is standard error)
// with the label, an empty line after a message ending in a newline, and the
// category line.
std::string user_error(const std::string& label, const std::string& msg) {
  return label + ": " + msg + msg + "\nPlease verify first your input model and your data\n";
}

TEST_F(DecoderTest, ModelErrorsExitWithOne) {
  Result r = decode("nowhere", "a\n");
  std::string path = dir.path("nowhere") + "/zanda.parm";
  EXPECT_EQ(r.err, user_error("ZDIO::force_open", "Cannot open " + path + " for [r]\n"));
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);

  dir.write("nok/zanda.parm", "field f0 { }\nclassifier t { trivial = true bias = 1 }\n");
  r = decode("nok", "a\n");
  EXPECT_TRUE(contains(
      r.err, user_error("MultiCategData::load_mdl_parms", "Parameter file contains no kernel")))
      << r.err;
  EXPECT_EQ(r.status, 1);

  dir.write("novec/zanda.parm",
            std::string(kLinearKernel) +
                "classifier c { kernels = { k0 } vecfile = { gone.txt } weights = { 1 } }\n");
  r = decode("novec", "a\n");
  EXPECT_TRUE(contains(r.err, "Cannot open " + dir.path("novec") + "/gone.txt for [r]\n")) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(r.status, 1);

  dir.write("comma/zanda.parm",
            std::string(kLinearKernel) + "classifier c0 { kernels = { k0 k1 } }\n");
  r = decode("comma", "a\n");
  EXPECT_TRUE(contains(r.err,
                       "ParmList::load: k1 found instead of ,\n"
                       "LINE: [classifier c0 { kernels = { k0 k1 } } ]\n"))
      << r.err;
  EXPECT_EQ(r.status, 1);
}

TEST_F(DecoderTest, UndefinedKernelAborts) {
  dir.write("m/zanda.parm",
            std::string(kLinearKernel) +
                "classifier c0 { kernels = { kx } vecfile = { v.txt } weights = { 1 } }\n");
  dir.write("m/v.txt", "vector w { 0 = 1 }\n");
  Result r = decode("m", "a\n");
  EXPECT_TRUE(
      contains(r.err, "ClassifierModel::load_parms: Classifier c0 kernel kx is not defined\n"))
      << r.err;
  EXPECT_EQ(r.signal, SIGABRT);
  EXPECT_EQ(r.out, "");
}

}  // namespace
