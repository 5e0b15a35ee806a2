// The memory floor of decoding one input line: the same number of random reads
// into tables of the same sizes as the decoder touches per line, with none of
// its logic (no hashing, key compares, probing or score bookkeeping). It is the
// time below which no change to that logic can take a line, and is read beside
// the per-stage times of bench_stages, in ns per line (one iteration = one line).
//   BM_FloorLookups  per line of T tokens, the reads of the decoder's n-gram
//                    index: T token slots (16 bytes, power of two >= distinct
//                    tokens / 0.7), T bits of the (position, last token)
//                    filter (power of two >= 4 * entries bits), a 4-byte filter
//                    word for each of the P grams probed (3 per position whose
//                    bit is set, as in the workload) and a 64-byte bucket for
//                    each of the H grams found (hit rate * (3T - 3)), among
//                    entries / 2 buckets; the reads are independent
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
  size_t buckets = 0, token_cap = 0, pair_bits = 0, entries = 0;
  double scoring_bytes = 0, lookup_bytes = 0;
  Block filters, bucket_array, tokens, pairs, offsets, columns;  // offsets: entries + 1 ints
  std::vector<uint32_t> bucket_at, token_at, pair_at, entry_at;
  // Per input line: tokens, grams probed, grams found, features.
  std::vector<uint16_t> line_tokens, line_probes, line_hits, line_features;

  explicit Floor(const std::string& name) {
    const char* root = getenv("BENCH_WORKLOADS");
    const std::string dir = std::string(root ? root : "build/bench") + "/" + name;
    std::ifstream dict(dir + "/dict.txt"), input(dir + "/input.txt"), stats(dir + "/stats.txt");
    if (!dict || !input || !stats) {
      error = "no workload in " + dir + " (make bench)";
      return;
    }
    double features = 0, weights = 0, hit_rate = 0;
    for (std::string line; std::getline(stats, line);) {
      const size_t sp = line.rfind(' ');
      if (line.compare(0, sp, "features per line") == 0) features = std::stod(line.substr(sp));
      if (line.compare(0, sp, "weights") == 0) weights = std::stod(line.substr(sp));
      if (line.compare(0, sp, "ngram hit rate") == 0) hit_rate = std::stod(line.substr(sp));
    }
    // Distinct tokens: the pieces of the dictionary keys without their _digits;
    // the last pieces are where grams end.
    std::unordered_set<std::string> distinct, last_pieces;
    for (std::string line; std::getline(dict, line); ++entries) {
      std::istringstream pieces(line);
      std::string piece;
      pieces >> piece;  // the index
      while (pieces >> piece) distinct.insert(piece.substr(0, piece.rfind('_')));
      last_pieces.insert(piece);
    }
    for (std::string line; std::getline(input, line);) {
      uint16_t t = 0, probes = 0;
      std::istringstream words(line);
      for (std::string w; words >> w;)
        if (last_pieces.count(w + "_" + std::to_string(++t))) probes += 3;
      line_tokens.push_back(t);
      line_probes.push_back(probes);
      line_hits.push_back(static_cast<uint16_t>(std::lround(hit_rate * (t > 0 ? 3 * t - 3 : 0))));
      const size_t n = line_features.size();
      line_features.push_back(static_cast<uint16_t>(std::floor((n + 1) * features) -
                                                    std::floor(n * features)));
    }
    if (entries == 0 || line_tokens.empty()) {
      error = "empty workload in " + dir;
      return;
    }
    uint64_t seed = 42;
    buckets = entries / 2 + 1;
    token_cap = pow2_at_least(distinct.size() / 0.7);
    pair_bits = pow2_at_least(4.0 * entries);
    filters = random_block(buckets * 4, seed);
    bucket_array = random_block(buckets * 64, seed);
    tokens = random_block(token_cap * 16, seed);
    pairs = random_block(pair_bits / 8 + 8, seed);
    lookup_bytes = buckets * 68.0 + token_cap * 16.0 + pair_bits / 8.0;
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
    bucket_at = pool(size_t{1} << 22, buckets, seed);
    token_at = pool(size_t{1} << 20, token_cap, seed);
    pair_at = pool(size_t{1} << 20, pair_bits, seed);
    entry_at = pool(size_t{1} << 20, entries, seed);
  }
};

Floor& floor_of(const std::string& name) {
  static std::map<std::string, std::unique_ptr<Floor>> loaded;
  std::unique_ptr<Floor>& f = loaded[name];
  if (!f) f.reset(new Floor(name));
  return *f;
}

// One line's lookups: independent reads of the token slots and filter bits,
// of the filter words of the grams probed and of the buckets of those found.
inline uint64_t lookups(const Floor& f, size_t line, size_t& cb, size_t& ct) {
  const uint32_t* filter = reinterpret_cast<const uint32_t*>(f.filters.get());
  const uint64_t* bucket = reinterpret_cast<const uint64_t*>(f.bucket_array.get());
  const uint64_t* tok = reinterpret_cast<const uint64_t*>(f.tokens.get());
  const uint64_t* pair = reinterpret_cast<const uint64_t*>(f.pairs.get());
  const size_t mask = f.bucket_at.size() - 1, tmask = f.token_at.size() - 1;
  uint64_t sum = 0;
  for (unsigned i = 0; i < f.line_tokens[line]; ++i, ct = (ct + 1) & tmask)
    sum += tok[size_t{f.token_at[ct]} * 2] + (pair[f.pair_at[ct] / 64] >> (f.pair_at[ct] % 64));
  for (unsigned i = 0; i < f.line_probes[line]; ++i, cb = (cb + 1) & mask)
    sum += filter[f.bucket_at[cb]];
  for (unsigned i = 0; i < f.line_hits[line]; ++i, cb = (cb + 1) & mask)
    sum += bucket[size_t{f.bucket_at[cb]} * 8];
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
  size_t line = 0, cb = 0, ct = 0, ce = 0;
  uint64_t isum = 0;
  float fsum = 0;
  for (auto _ : state) {
    if (kLookups) isum += lookups(f, line, cb, ct);
    if (kScoring) fsum += scoring(f, f.line_features[line], ce);
    if (++line == f.line_tokens.size()) line = 0;
  }
  benchmark::DoNotOptimize(isum);
  benchmark::DoNotOptimize(fsum);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("time per iteration = ns per line");
  state.counters["MiB_lookup_tables"] = f.lookup_bytes / (1 << 20);
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
