// Feature extractor: turns a labelled corpus (one example a line: the class
// name, a tab, the text) into the decoder's feature dictionary, a label file
// and the training data in liblinear's sparse format.
//
// The text is cut into n-grams by the decoder's own code: the dictionary is
// built from the strings of NgramCursor, and every example's features are the
// indices GenerateUptoTrigrams finds for its text in that dictionary, exactly
// what the decoder computes for the same line. Dictionary index i is liblinear
// feature i (indices start at 1), so a model trained on the data needs no
// index mapping.
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <unordered_map>
#include <vector>

#include "exit_status.h"
#include "loadfeats.h"
#include "traintools.h"

namespace {

// The decoder reads at most this many characters of a line (its newline
// included) at once; a longer text would be decoded in pieces.
constexpr size_t kDecoderLine = 999998;
// Size of the decoder's feature index buffer.
constexpr int kMaxIndices = 999999;
// A dictionary line of this many characters, newline included, is rejected by
// the dictionary loader.
constexpr size_t kDictLineMax = 1022;

// One corpus line split into its class name and its text.
struct Example {
  std::string label;
  const char* text;
};

// Reads the corpus line by line and hands each example, checked, to `fn`
// together with its line number.
template <typename Fn>
void for_each_example(const std::string& path, Fn fn) {
  std::ifstream in = OpenInput(path);
  std::string line;
  for (long nl = 1; std::getline(in, line); nl++) {
    size_t tab = line.find('\t');
    if (tab == std::string::npos) ToolFail(path, nl, "expected a class name, a tab and the text");
    Example e{line.substr(0, tab), line.c_str() + tab + 1};
    std::string problem = ClassNameProblem(e.label);
    if (!problem.empty()) ToolFail(path, nl, problem);
    if (line.size() - tab - 1 + 1 > kDecoderLine) {
      ToolFail(path, nl,
               "text longer than the " + std::to_string(kDecoderLine - 1) +
                   " characters the decoder reads as one line");
    }
    fn(e, nl);
  }
  CheckRead(in, path);
}

// Counts the n-gram strings and collects the class names of the corpus.
void count_corpus(const std::string& path, std::unordered_map<std::string, long>& counts,
                  std::set<std::string>& classes) {
  char buf[NgramCursor::kMaxString];
  for_each_example(path, [&](const Example& e, long) {
    classes.insert(e.label);
    NgramCursor cursor(e.text);
    NgramCursor::Position pos;
    while (cursor.next(buf, pos)) {
      for (int k = 0; k < pos.count; k++) counts[pos.grams[k]]++;
    }
  });
}

// Writes the dictionary: the strings seen at least `min_count` times, the most
// frequent first (ties in byte order), numbered from 1. A string whose line
// the dictionary loader would reject as too long gets no index.
void write_dictionary(const std::string& path, const std::unordered_map<std::string, long>& counts,
                      long min_count) {
  std::vector<std::pair<long, const std::string*>> kept;
  for (const auto& [text, n] : counts) {
    if (n >= min_count) kept.emplace_back(n, &text);
  }
  std::sort(kept.begin(), kept.end(), [](const auto& a, const auto& b) {
    return a.first != b.first ? a.first > b.first : *a.second < *b.second;
  });
  FILE* fp = OpenOutput(path);
  long index = 1;
  for (const auto& [n, text] : kept) {
    size_t line_len = std::to_string(index).size() + 1 + text->size() + 1;
    if (line_len >= kDictLineMax) continue;
    fprintf(fp, "%ld %s\n", index++, text->c_str());
  }
  CloseOutput(fp, path);
}

// Writes one liblinear line per example: the class's label number, then the
// example's distinct feature indices in increasing order, each with value 1.
void write_data(const std::string& corpus, const std::string& dict_path,
                const std::vector<Label>& labels, const std::string& out_path) {
  std::map<std::string, long> number;
  for (const Label& l : labels) number[l.name] = l.number;
  DSTHashTable dict = LoadFeats(dict_path.c_str(), 0);
  std::vector<int> idx(kMaxIndices);
  FILE* out = OpenOutput(out_path);
  for_each_example(corpus, [&](const Example& e, long nl) {
    auto it = number.find(e.label);
    if (it == number.end()) ToolFail(corpus, nl, "class \"" + e.label + "\" has no label number");
    int n = GenerateUptoTrigrams(e.text, dict, idx.data(), kMaxIndices);
    std::sort(idx.begin(), idx.begin() + n);
    n = static_cast<int>(std::unique(idx.begin(), idx.begin() + n) - idx.begin());
    fprintf(out, "%ld", it->second);
    for (int k = 0; k < n; k++) fprintf(out, " %d:1", idx[k]);
    fputc('\n', out);
  });
  CloseOutput(out, out_path);
  FreeFeats(dict);
}

[[noreturn]] void usage() {
  fprintf(stderr,
          "Usage: %s [-c mincount] [-x] -i corpus -d dictionary -l labels -o data\n"
          "Options:\n"
          " -i file  labelled corpus: one \"class<TAB>text\" line per example\n"
          " -d file  feature dictionary to write (to read with -x)\n"
          " -l file  label numbers of the classes to write (to read with -x)\n"
          " -o file  training data to write, in liblinear's sparse format\n"
          " -c n     keep n-grams seen at least n times (default 2)\n"
          " -x       use an existing dictionary and label file, e.g. for held-out data\n",
          program_invocation_short_name);
  exit(1);
}

int extract_features(int argc, char** argv) {
  const char* corpus = nullptr;
  const char* dict = nullptr;
  const char* labels_path = nullptr;
  const char* data = nullptr;
  long min_count = 2;
  bool existing = false;
  int c;
  while ((c = getopt(argc, argv, "i:d:l:o:c:x")) != -1) {
    switch (c) {
      case 'i':
        corpus = optarg;
        break;
      case 'd':
        dict = optarg;
        break;
      case 'l':
        labels_path = optarg;
        break;
      case 'o':
        data = optarg;
        break;
      case 'c': {
        char* end;
        min_count = strtol(optarg, &end, 10);
        if (*end || end == optarg || min_count < 1) {
          ToolFail("", 0, std::string("-c wants a count of 1 or more, not \"") + optarg + "\"");
        }
        break;
      }
      case 'x':
        existing = true;
        break;
      default:
        usage();
    }
  }
  if (optind != argc || !corpus || !dict || !labels_path || !data) usage();

  std::vector<Label> labels;
  if (existing) {
    labels = ReadLabels(labels_path);
  } else {
    std::unordered_map<std::string, long> counts;
    std::set<std::string> classes;
    count_corpus(corpus, counts, classes);
    write_dictionary(dict, counts, min_count);
    for (const std::string& name : classes) {
      labels.push_back({static_cast<long>(labels.size()) + 1, name});
    }
    WriteLabels(labels_path, labels);
  }
  write_data(corpus, dict, labels, data);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  return ExitStatusOf([&] { return extract_features(argc, argv); });
}
