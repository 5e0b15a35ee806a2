// Dictionary loading and per-line n-gram lookup against a dictionary of one
// million position-tagged n-grams drawn from a skewed pseudo-random vocabulary.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <unordered_set>
#include <vector>

#include "loadfeats.h"

namespace {

constexpr size_t kEntries = 1000000;
constexpr size_t kSmallEntries = 100000;  // a dictionary that stays in cache
constexpr int kVocabulary = 50000;
constexpr int kLines = 2000;

// splitmix64: the same sequence on every platform.
struct Rng {
  uint64_t s;
  uint64_t next() {
    uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
  }
  double uniform() { return static_cast<double>(next() >> 11) * 0x1.0p-53; }
  int below(int n) { return static_cast<int>(next() % static_cast<uint64_t>(n)); }
};

std::vector<std::string> make_vocabulary() {
  Rng rng{42};
  std::vector<std::string> words(kVocabulary);
  for (std::string& w : words) {
    w.resize(static_cast<size_t>(2 + rng.below(9)));
    for (char& c : w) c = static_cast<char>('a' + rng.below(26));
  }
  return words;
}

// A sentence of 20 to 60 words, frequent words far more likely than rare ones.
std::vector<const std::string*> make_sentence(Rng& rng, const std::vector<std::string>& words) {
  std::vector<const std::string*> s(static_cast<size_t>(20 + rng.below(41)));
  for (auto& w : s) w = &words[static_cast<size_t>(kVocabulary * std::pow(rng.uniform(), 3.0))];
  return s;
}

std::string piece(const std::vector<const std::string*>& s, size_t i) {
  return *s[i] + "_" + std::to_string(i + 1);
}

struct Corpus {
  std::string dir, dict, small_dict;
  std::vector<std::string> lines;

  Corpus() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "benchdictXXXXXX").string();
    dir = mkdtemp(&tmpl[0]);
    dict = dir + "/dict.txt";
    small_dict = dir + "/small.txt";
    std::vector<std::string> words = make_vocabulary();
    std::unordered_set<std::string> seen;
    seen.reserve(kEntries * 2);
    FILE* fp = fopen(dict.c_str(), "w");
    FILE* small = fopen(small_dict.c_str(), "w");
    Rng rng{7};
    while (seen.size() < kEntries) {
      auto s = make_sentence(rng, words);
      for (size_t i = 0; i < s.size() && seen.size() < kEntries; i++) {
        std::string uni = piece(s, i);
        std::string bi = i > 0 ? piece(s, i - 1) + " " + uni : "";
        std::string tri = i > 1 ? piece(s, i - 2) + " " + bi : "";
        for (const std::string* f : {&uni, &bi, &tri}) {
          if (!f->empty() && seen.size() < kEntries && seen.insert(*f).second) {
            fprintf(fp, "%zu %s\n", seen.size() - 1, f->c_str());
            if (seen.size() <= kSmallEntries)
              fprintf(small, "%zu %s\n", seen.size() - 1, f->c_str());
          }
        }
      }
    }
    fclose(fp);
    fclose(small);
    Rng line_rng{99};
    for (int k = 0; k < kLines; k++) {
      std::string line;
      for (const std::string* w : make_sentence(line_rng, words)) line += *w + " ";
      line.back() = '\n';
      lines.push_back(line);
    }
  }
  ~Corpus() { std::filesystem::remove_all(dir); }
};

const Corpus& corpus() {
  static Corpus c;
  return c;
}

void BM_LoadFeats(benchmark::State& state) {
  const std::string& dict = corpus().dict;
  for (auto _ : state) {
    DSTHashTable ht = LoadFeats(dict.c_str(), 0);
    state.PauseTiming();
    FreeFeats(ht);
    state.ResumeTiming();
  }
  state.counters["per_entry"] = benchmark::Counter(
      static_cast<double>(kEntries),
      benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_LoadFeats)->Unit(benchmark::kMillisecond);

void BM_GenerateUptoTrigrams(benchmark::State& state) {
  const Corpus& c = corpus();
  static DSTHashTable full = LoadFeats(c.dict.c_str(), 0);
  static DSTHashTable small = LoadFeats(c.small_dict.c_str(), 0);
  DSTHashTable ht = state.range(0) == static_cast<int64_t>(kEntries) ? full : small;
  std::vector<int> ngrams(999999);
  size_t k = 0, lookups = 0, found = 0;
  for (auto _ : state) {
    const std::string& line = c.lines[k];
    int n = GenerateUptoTrigrams(line.c_str(), ht, ngrams.data(), 999999);
    benchmark::DoNotOptimize(n);
    found += static_cast<size_t>(n);
    lookups += 3 * static_cast<size_t>(std::count(line.begin(), line.end(), ' ') + 1) - 3;
    k = (k + 1) % c.lines.size();
  }
  state.counters["per_lookup"] = benchmark::Counter(
      static_cast<double>(lookups), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
  state.counters["hit_rate"] = static_cast<double>(found) / static_cast<double>(lookups);
}
BENCHMARK(BM_GenerateUptoTrigrams)->Arg(kSmallEntries)->Arg(kEntries);

}  // namespace

BENCHMARK_MAIN();
