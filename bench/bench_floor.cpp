// The memory floor of decoding one input line: the same number of random reads
// into tables of the same sizes as the decoder touches per line, with none of
// its logic (no hashing, key compares, probing or score bookkeeping). It is the
// time below which no change to that logic can take a line, and is read beside
// the per-stage times of bench_stages, in ns per line (one iteration = one line).
//   BM_FloorLookups  per line of T tokens, 3T-3 n-gram lookups in a table of
//                    20-byte slots (capacity: power of two >= entries / 0.7)
//                    and T in the token table (8-byte slots, power of two >=
//                    2 * distinct tokens); the reads are independent
//   BM_FloorScoring  per feature (F per line on average), the column offset of
//                    a random entry, then the dependent read of its column of
//                    (index, weight) pairs, weights / entries long on average
//   BM_FloorLine     both
// Sizes come from the S and M workloads of `make bench` (folder BENCH_WORKLOADS,
// default build/bench): dict.txt, stats.txt, and the token counts of input.txt.
// Addresses are uniform random, drawn before timing; the real lookups have
// locality (frequent n-grams), so this floor is if anything pessimistic.
//   build/bench/bench_floor --benchmark_min_time=0.2
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <unordered_set>
#include <vector>

namespace {

uint64_t splitmix64(uint64_t& s) {
  uint64_t z = (s += 0x9e3779b97f4a7c15ULL);
  z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
  z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
  return z ^ (z >> 31);
}

size_t pow2_at_least(double n) {
  size_t c = 1;
  while (static_cast<double>(c) < n) c <<= 1;
  return c;
}

struct FreeDeleter {
  void operator()(void* p) const { free(p); }
};
using Block = std::unique_ptr<char, FreeDeleter>;

// A 2 MiB-aligned block with huge pages advised, filled with random bytes so
// that every page is mapped before timing.
Block random_block(size_t bytes, uint64_t& seed) {
  constexpr size_t kHuge = size_t{2} << 20;
  const size_t rounded = (bytes + kHuge - 1) / kHuge * kHuge;
  void* p = nullptr;
  if (posix_memalign(&p, kHuge, rounded) != 0) abort();
  madvise(p, rounded, MADV_HUGEPAGE);
  for (size_t i = 0; i + 8 <= rounded; i += 8) {
    const uint64_t v = splitmix64(seed);
    memcpy(static_cast<char*>(p) + i, &v, 8);
  }
  return Block(static_cast<char*>(p));
}

// Random indices below n, drawn in advance and read in a cycle; the pools are
// far larger than a cache, so the cycle does not warm the tables.
std::vector<uint32_t> pool(size_t size, size_t n, uint64_t& seed) {
  std::vector<uint32_t> v(size);
  for (uint32_t& x : v) x = static_cast<uint32_t>(splitmix64(seed) % n);
  return v;
}

struct Floor {
  std::string error;
  size_t ngram_cap = 0, token_cap = 0, entries = 0;
  double scoring_bytes = 0;
  Block ngrams, tokens, offsets, columns;  // offsets: entries + 1 ints
  std::vector<uint32_t> ngram_at, token_at, entry_at;
  std::vector<uint16_t> line_tokens, line_features;  // per input line

  explicit Floor(const std::string& name) {
    const char* root = getenv("BENCH_WORKLOADS");
    const std::string dir = std::string(root ? root : "build/bench") + "/" + name;
    std::ifstream dict(dir + "/dict.txt"), input(dir + "/input.txt"), stats(dir + "/stats.txt");
    if (!dict || !input || !stats) {
      error = "no workload in " + dir + " (make bench)";
      return;
    }
    double features = 0, weights = 0;
    for (std::string line; std::getline(stats, line);) {
      const size_t sp = line.rfind(' ');
      if (line.compare(0, sp, "features per line") == 0) features = std::stod(line.substr(sp));
      if (line.compare(0, sp, "weights") == 0) weights = std::stod(line.substr(sp));
    }
    // Distinct tokens: the pieces of the dictionary keys without their _digits.
    std::unordered_set<std::string> distinct;
    for (std::string line; std::getline(dict, line); ++entries) {
      std::istringstream pieces(line);
      std::string piece;
      pieces >> piece;  // the index
      while (pieces >> piece) distinct.insert(piece.substr(0, piece.rfind('_')));
    }
    for (std::string line; std::getline(input, line);) {
      uint16_t t = 0;
      for (size_t i = 0; i < line.size(); ++i)
        if (!strchr(" \t,", line[i]) && (i == 0 || strchr(" \t,", line[i - 1]))) ++t;
      line_tokens.push_back(t);
      const size_t n = line_features.size();
      line_features.push_back(static_cast<uint16_t>(std::floor((n + 1) * features) -
                                                    std::floor(n * features)));
    }
    if (entries == 0 || line_tokens.empty()) {
      error = "empty workload in " + dir;
      return;
    }
    uint64_t seed = 42;
    ngram_cap = pow2_at_least(entries / 0.7);
    token_cap = pow2_at_least(2.0 * distinct.size());
    ngrams = random_block(ngram_cap * 20, seed);
    tokens = random_block(token_cap * 8, seed);
    // Columns of random lengths, weights / entries on average.
    const size_t total = static_cast<size_t>(weights);
    std::vector<uint32_t> length(entries);
    for (size_t i = 0; i < total; ++i) ++length[splitmix64(seed) % entries];
    offsets = random_block((entries + 1) * 4, seed);
    int32_t* off = reinterpret_cast<int32_t*>(offsets.get());
    off[0] = 0;
    for (size_t e = 0; e < entries; ++e) off[e + 1] = off[e] + static_cast<int32_t>(length[e]);
    columns = random_block(total * 8 + 8, seed);
    scoring_bytes = (entries + 1) * 4.0 + total * 8.0;
    ngram_at = pool(size_t{1} << 22, ngram_cap, seed);
    token_at = pool(size_t{1} << 20, token_cap, seed);
    entry_at = pool(size_t{1} << 20, entries, seed);
  }
};

Floor& floor_of(const std::string& name) {
  static std::map<std::string, std::unique_ptr<Floor>> loaded;
  std::unique_ptr<Floor>& f = loaded[name];
  if (!f) f.reset(new Floor(name));
  return *f;
}

// One line's lookups: independent reads of the first and last word of each
// 20-byte slot (a slot may straddle two cache lines) and of each token slot.
inline uint64_t lookups(const Floor& f, unsigned t, size_t& ci, size_t& ct) {
  const uint32_t* ng = reinterpret_cast<const uint32_t*>(f.ngrams.get());
  const uint64_t* tok = reinterpret_cast<const uint64_t*>(f.tokens.get());
  uint64_t sum = 0;
  const unsigned n = t > 0 ? 3 * t - 3 : 0;
  for (unsigned i = 0; i < n; ++i, ci = (ci + 1) & (f.ngram_at.size() - 1)) {
    const size_t s = size_t{f.ngram_at[ci]} * 5;
    sum += ng[s] + ng[s + 4];
  }
  for (unsigned i = 0; i < t; ++i, ct = (ct + 1) & (f.token_at.size() - 1)) sum += tok[f.token_at[ct]];
  return sum;
}

// One line's scoring: per feature, the column offset, then the column.
inline float scoring(const Floor& f, unsigned features, size_t& ce) {
  const int32_t* off = reinterpret_cast<const int32_t*>(f.offsets.get());
  const char* col = f.columns.get();
  float sum = 0;
  for (unsigned i = 0; i < features; ++i, ce = (ce + 1) & (f.entry_at.size() - 1)) {
    const uint32_t e = f.entry_at[ce];
    for (int32_t k = off[e]; k < off[e + 1]; ++k) {
      float weight;  // after its 4-byte class index, in the same 8 bytes
      memcpy(&weight, col + size_t(k) * 8 + 4, 4);
      sum += weight;
    }
  }
  return sum;
}

template <bool kLookups, bool kScoring>
void run(benchmark::State& state, const char* name) {
  const Floor& f = floor_of(name);
  if (!f.error.empty()) {
    state.SkipWithError(f.error.c_str());
    return;
  }
  size_t line = 0, ci = 0, ct = 0, ce = 0;
  uint64_t isum = 0;
  float fsum = 0;
  for (auto _ : state) {
    if (kLookups) isum += lookups(f, f.line_tokens[line], ci, ct);
    if (kScoring) fsum += scoring(f, f.line_features[line], ce);
    if (++line == f.line_tokens.size()) line = 0;
  }
  benchmark::DoNotOptimize(isum);
  benchmark::DoNotOptimize(fsum);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("time per iteration = ns per line");
  state.counters["MiB_lookup_tables"] = (f.ngram_cap * 20.0 + f.token_cap * 8.0) / (1 << 20);
  state.counters["MiB_scoring_tables"] = f.scoring_bytes / (1 << 20);
}

void BM_FloorLookups(benchmark::State& state, const char* name) { run<true, false>(state, name); }
void BM_FloorScoring(benchmark::State& state, const char* name) { run<false, true>(state, name); }
void BM_FloorLine(benchmark::State& state, const char* name) { run<true, true>(state, name); }
BENCHMARK_CAPTURE(BM_FloorLookups, S, "S");
BENCHMARK_CAPTURE(BM_FloorLookups, M, "M");
BENCHMARK_CAPTURE(BM_FloorScoring, S, "S");
BENCHMARK_CAPTURE(BM_FloorScoring, M, "M");
BENCHMARK_CAPTURE(BM_FloorLine, S, "S");
BENCHMARK_CAPTURE(BM_FloorLine, M, "M");

}  // namespace

BENCHMARK_MAIN();
