// Model importer: turns a one-vs-rest linear model written by liblinear-train,
// the class names of its labels and the feature dictionary into a model
// directory that MaxEntDecoder loads.
//
// Feature index i of liblinear is dictionary index i: the decoder looks the
// line's n-grams up in the same dictionary that produced the training data,
// so the weight of row i applies to dictionary entry i unchanged. Each class
// becomes one linear classifier on a single unnormalised field, whose raw
// output w.x + b is liblinear's decision value; the decoder prints its sigmoid.
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "exit_status.h"
#include "loadfeats.h"
#include "traintools.h"

namespace {

// Header of a liblinear model file.
struct LinearModel {
  std::string solver;
  long nr_class = -1;
  std::vector<long> labels;
  long nr_feature = -1;
  double bias = -1;  // a bias row follows the feature rows when bias >= 0
  long ncols = 0;    // weight columns: 1 for two classes, else one per class
};

// One class of the imported model: its name and its linear function.
struct ClassOut {
  struct Weight {
    int32_t index;
    float value;
  };
  std::string name;
  double bias = 0;
  std::vector<Weight> weights;  // non-zero weights, by increasing index
};

// Solvers whose models hold one weight vector per class (one for two classes).
const char* const kOneVsRest[] = {
    "L2R_LR", "L2R_L2LOSS_SVC_DUAL", "L2R_L2LOSS_SVC", "L2R_L1LOSS_SVC_DUAL", "L1R_L2LOSS_SVC",
    "L1R_LR", "L2R_LR_DUAL"};

bool one_vs_rest(const std::string& solver) {
  for (const char* s : kOneVsRest) {
    if (solver == s) return true;
  }
  return false;
}

// Splits `line` at blanks and tabs.
std::vector<std::string> words(const std::string& line) {
  std::vector<std::string> out;
  size_t p = 0;
  while ((p = line.find_first_not_of(" \t\r", p)) != std::string::npos) {
    size_t e = line.find_first_of(" \t\r", p);
    out.push_back(line.substr(p, e - p));
    p = e;
  }
  return out;
}

long to_long(const std::string& text, const std::string& file, long nl, const char* what) {
  char* end;
  errno = 0;
  long v = strtol(text.c_str(), &end, 10);
  if (text.empty() || *end || errno) {
    ToolFail(file, nl, std::string(what) + " \"" + text + "\" is not an integer");
  }
  return v;
}

double to_double(const char* text, char** end, const std::string& file, long nl) {
  double v = strtod(text, end);
  if (*end == text || !std::isfinite(v)) {
    std::string word(text, strcspn(text, " \t\r"));
    ToolFail(file, nl, "\"" + word + "\" is not a finite number");
  }
  return v;
}

// Reads the header of a liblinear-train model file: "key values" lines up to
// the line "w". `nl` counts the lines read.
LinearModel read_header(std::istream& in, const std::string& path, long& nl) {
  LinearModel m;
  std::string line;
  bool have_bias = false;
  bool weights = false;
  while (!weights && std::getline(in, line)) {
    nl++;
    std::vector<std::string> f = words(line);
    if (f.empty()) continue;
    const std::string& key = f[0];
    if (key == "w" && f.size() == 1) {
      weights = true;
    } else if (key == "solver_type" && f.size() == 2) {
      m.solver = f[1];
      if (m.solver == "MCSVM_CS") {
        ToolFail(path, nl, "solver MCSVM_CS (-s 4) is not one-vs-rest: train with -s 0 to 7 but 4");
      }
      if (!one_vs_rest(m.solver)) {
        ToolFail(path, nl, "solver " + m.solver + " is not a one-vs-rest classifier");
      }
    } else if (key == "nr_class" && f.size() == 2) {
      m.nr_class = to_long(f[1], path, nl, "class count");
      if (m.nr_class < 2) ToolFail(path, nl, "a classifier needs at least 2 classes");
    } else if (key == "label") {
      for (size_t k = 1; k < f.size(); k++) m.labels.push_back(to_long(f[k], path, nl, "label"));
    } else if (key == "nr_feature" && f.size() == 2) {
      m.nr_feature = to_long(f[1], path, nl, "feature count");
      if (m.nr_feature < 0 || m.nr_feature > INT32_MAX) {
        ToolFail(path, nl, "feature count outside 0.." + std::to_string(INT32_MAX));
      }
    } else if (key == "bias" && f.size() == 2) {
      char* end;
      m.bias = to_double(f[1].c_str(), &end, path, nl);
      have_bias = true;
    } else {
      ToolFail(path, nl, "not a liblinear model line: \"" + line + "\"");
    }
  }
  CheckRead(in, path);
  if (!weights) ToolFail(path, 0, "no weights (\"w\" line): not a liblinear model file");
  const char* missing = m.solver.empty()   ? "solver_type"
                        : m.nr_class < 0   ? "nr_class"
                        : m.labels.empty() ? "label"
                        : m.nr_feature < 0 ? "nr_feature"
                        : !have_bias       ? "bias"
                                           : nullptr;
  if (missing) ToolFail(path, 0, std::string("no ") + missing + " line before the weights");
  if (static_cast<long>(m.labels.size()) != m.nr_class) {
    ToolFail(path, 0,
             "the label line has " + std::to_string(m.labels.size()) + " labels for " +
                 std::to_string(m.nr_class) + " classes");
  }
  m.ncols = m.nr_class == 2 ? 1 : m.nr_class;
  return m;
}

// Reads the weight rows (one per feature, then the bias row) into the classes.
// Two-class models hold one column, for the first label; the second label gets
// its negation, so that the decoder ranks both classes.
void read_weights(std::istream& in, const std::string& path, long& nl, const LinearModel& m,
                  std::vector<ClassOut>& classes) {
  long rows = m.nr_feature + (m.bias >= 0 ? 1 : 0);
  std::vector<double> row(static_cast<size_t>(m.ncols));
  std::string line;
  for (long r = 0; r < rows; r++) {
    if (!std::getline(in, line)) {
      CheckRead(in, path);
      ToolFail(
          path, nl,
          "ends after " + std::to_string(r) + " of the " + std::to_string(rows) + " weight rows");
    }
    nl++;
    const char* p = line.c_str();
    long n = 0;
    for (;;) {
      p += strspn(p, " \t\r");
      if (!*p) break;
      char* end;
      double v = to_double(p, &end, path, nl);
      if (*end && !strchr(" \t\r", *end)) {
        ToolFail(path, nl, "\"" + std::string(p, strcspn(p, " \t\r")) + "\" is not a number");
      }
      if (n < m.ncols) row[n] = v;
      n++;
      p = end;
    }
    if (n != m.ncols) {
      ToolFail(path, nl,
               "expected " + std::to_string(m.ncols) + " weights, found " + std::to_string(n));
    }
    for (size_t k = 0; k < classes.size(); k++) {
      double v = m.ncols == 1 ? (k == 0 ? row[0] : -row[0]) : row[k];
      if (r == m.nr_feature) {
        classes[k].bias = m.bias * v;
      } else if (static_cast<float>(v) != 0) {
        classes[k].weights.push_back({static_cast<int32_t>(r + 1), static_cast<float>(v)});
      }
    }
  }
  while (std::getline(in, line)) {
    nl++;
    if (!words(line).empty()) ToolFail(path, nl, "text after the last weight row");
  }
  CheckRead(in, path);
}

// Largest index of a dictionary; loading it checks every line as the decoder does.
long dictionary_max_index(const std::string& path) {
  DSTHashTable ht = LoadFeats(path.c_str(), 1);
  long max = -1;
  DSTHashWalk(
      ht,
      [](void* arg, void* entry) {
        long* m = static_cast<long*>(arg);
        if (static_cast<HEInv*>(entry)->val > *m) *m = static_cast<HEInv*>(entry)->val;
      },
      &max);
  FreeFeats(ht);
  return max;
}

bool same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  return stat(a.c_str(), &sa) == 0 && stat(b.c_str(), &sb) == 0 && sa.st_dev == sb.st_dev &&
         sa.st_ino == sb.st_ino;
}

void copy_file(const std::string& from, const std::string& to) {
  if (same_file(from, to)) return;
  std::ifstream in = OpenInput(from);
  FILE* out = OpenOutput(to, true);
  char buf[1 << 16];
  while (in.read(buf, sizeof buf) || in.gcount() > 0) {
    fwrite(buf, 1, static_cast<size_t>(in.gcount()), out);
  }
  CheckRead(in, from);
  CloseOutput(out, to);
}

void put_le32(FILE* fp, uint32_t v) {
  unsigned char b[4] = {static_cast<unsigned char>(v), static_cast<unsigned char>(v >> 8),
                        static_cast<unsigned char>(v >> 16), static_cast<unsigned char>(v >> 24)};
  fwrite(b, 1, 4, fp);
}

// Writes the vector file of class k (and its binary file when `binary`).
void write_vectors(const std::string& dir, long k, const ClassOut& c, bool binary) {
  std::string stem = "c" + std::to_string(k);
  FILE* fp = OpenOutput(dir + "/" + stem + ".txt");
  fprintf(fp, "# Weights of class %s\nvector %s {\n  type = weight\n  field = 0\n", c.name.c_str(),
          stem.c_str());
  if (binary) {
    fprintf(fp, "  binsize = %zu\n", c.weights.size());
    FILE* bin = OpenOutput(dir + "/" + stem + ".bin", true);
    for (const ClassOut::Weight& w : c.weights) {
      uint32_t bits;
      memcpy(&bits, &w.value, sizeof bits);
      put_le32(bin, static_cast<uint32_t>(w.index));
      put_le32(bin, bits);
    }
    CloseOutput(bin, dir + "/" + stem + ".bin");
  } else {
    for (const ClassOut::Weight& w : c.weights) fprintf(fp, "  %d = %.9g\n", w.index, w.value);
  }
  fprintf(fp, "}\n");
  CloseOutput(fp, dir + "/" + stem + ".txt");
}

void write_parm(const std::string& dir, const LinearModel& m, const std::vector<ClassOut>& classes,
                bool binary) {
  std::string path = dir + "/zanda.parm";
  FILE* fp = OpenOutput(path);
  fprintf(fp, "# Imported from a liblinear model: solver %s, %ld classes, %ld features, bias %g.\n",
          m.solver.c_str(), m.nr_class, m.nr_feature, m.bias);
  fprintf(fp,
          "# One linear classifier per class on one unnormalised field: the raw score\n"
          "# w.x + b is liblinear's decision value.\n"
          "field words {\n}\n"
          "kernel k0 {\n  type = linear\n  fields = { words }\n  weights = { 1 }\n}\n");
  for (size_t k = 0; k < classes.size(); k++) {
    fprintf(fp, "classifier c%zu {\n  kernels = { k0 }\n  vecfile = { c%zu.txt }\n", k, k);
    if (binary) fprintf(fp, "  binfile = c%zu.bin\n", k);
    fprintf(fp, "  weights = { 1 }\n  bias = %.17g\n}\n", classes[k].bias);
  }
  for (size_t k = 0; k < classes.size(); k++) {
    const char* name = classes[k].name.c_str();
    fprintf(fp, "supervisor %s {\n  p = %s\n  clf = c%zu\n}\n", name, name, k);
  }
  CloseOutput(fp, path);
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "Usage: %s [-b] [-l labels] -m liblinear-model -d dictionary -o model-dir\n"
          "Options:\n"
          " -m file  model written by liblinear-train (one-vs-rest solver)\n"
          " -d file  feature dictionary of the training data (copied to model-dir/dict.txt)\n"
          " -l file  class names: one \"label name\" line per class (default: the labels)\n"
          " -o dir   model directory to write (created when missing)\n"
          " -b       write the weights to binary vector files\n",
          program_invocation_short_name);
  exit(1);
}

int import_model(int argc, char** argv) {
  const char* model_path = nullptr;
  const char* dict_path = nullptr;
  const char* labels_path = nullptr;
  const char* out_dir = nullptr;
  bool binary = false;
  int c;
  while ((c = getopt(argc, argv, "m:d:l:o:b")) != -1) {
    switch (c) {
      case 'm':
        model_path = optarg;
        break;
      case 'd':
        dict_path = optarg;
        break;
      case 'l':
        labels_path = optarg;
        break;
      case 'o':
        out_dir = optarg;
        break;
      case 'b':
        binary = true;
        break;
      default:
        usage();
    }
  }
  if (optind != argc || !model_path || !dict_path || !out_dir) usage();

  std::ifstream in = OpenInput(model_path);
  long nl = 0;
  LinearModel m = read_header(in, model_path, nl);

  std::map<long, std::string> names;
  if (labels_path) {
    for (const Label& l : ReadLabels(labels_path)) names[l.number] = l.name;
  }
  std::vector<ClassOut> classes(static_cast<size_t>(m.nr_class));
  for (long k = 0; k < m.nr_class; k++) {
    std::string label = std::to_string(m.labels[k]);
    std::string& name = classes[k].name;
    name = label;
    if (labels_path) {
      auto it = names.find(m.labels[k]);
      if (it == names.end()) {
        ToolFail(labels_path, 0, "no class name for label " + label + " of " + model_path);
      }
      name = it->second;
    }
    for (long j = 0; j < k; j++) {
      if (classes[j].name == name) ToolFail(model_path, 0, "label " + label + " appears twice");
    }
  }

  long max_index = dictionary_max_index(dict_path);
  if (m.nr_feature > max_index) {
    ToolFail(dict_path, 0,
             "indices end at " + std::to_string(max_index) + " but the model has " +
                 std::to_string(m.nr_feature) + " features: not the dictionary of its data");
  }
  read_weights(in, model_path, nl, m, classes);

  if (mkdir(out_dir, 0777) != 0 && errno != EEXIST) {
    ToolFail(out_dir, 0, std::string("cannot create directory: ") + strerror(errno));
  }
  std::string dir = out_dir;
  for (size_t k = 0; k < classes.size(); k++) {
    write_vectors(dir, static_cast<long>(k), classes[k], binary);
  }
  write_parm(dir, m, classes, binary);
  copy_file(dict_path, dir + "/dict.txt");
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return ExitStatusOf([&] { return import_model(argc, argv); });
}
