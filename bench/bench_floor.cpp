// The memory floor of decoding one input line: the same number of random reads
// into tables of the same sizes as the decoder touches per line, with none of
// its logic (no hashing, key compares, probing or score bookkeeping). It is the
// time below which no change to that logic can take a line, and is read beside
// the per-stage times of bench_stages, in ns per line (one iteration = one line).
//   BM_FloorLookups  per line of T tokens, the reads of the decoder's n-gram
//                    index (api/ngram_index.h), at uniform random places and
//                    independent of each other: T token slots (16 bytes, a
//                    power of two >= distinct tokens / 0.7); T bits of the
//                    endings filter (a power of two >= 8 * endings bits, an
//                    ending being a distinct last piece "token_position" of
//                    the keys); an ending slot (16 bytes, a power of two >=
//                    2 * endings) for each of the E positions whose token ends
//                    some key; a bit of the links filter (a power of two >=
//                    8 * links bits, a link being the distinct last two pieces
//                    of the 2- and 3-piece keys) for each of those E positions
//                    that has a token before; and a 12-byte longer gram for
//                    each of the L positions whose token and the one before
//                    form a link, among one per 2- and 3-piece key and one
//                    (a header) per ending of such keys
//   BM_FloorScoring  per feature (F per line on average), the column offset of
//                    a random entry, then the dependent read of its column of
//                    (index, weight) pairs, weights / entries long on average
//   BM_FloorLine     both
// Sizes come from the S and M workloads of `make bench` (folder BENCH_WORKLOADS,
// default build/bench): dict.txt, stats.txt, and the tokens of input.txt; the
// lookup benchmarks report T, E, the link reads and L per line as counters.
// Addresses are uniform random, drawn before timing; the real lookups have
// locality (frequent n-grams), so this floor is if anything pessimistic.
//   build/bench/bench_floor --benchmark_min_time=0.2
#include <benchmark/benchmark.h>
#include <sys/mman.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <numeric>
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
  size_t token_cap = 0, ending_bits = 0, ending_cap = 0, link_bits = 0, longer = 0, entries = 0;
  double scoring_bytes = 0, lookup_bytes = 0;
  Block tokens, ending_filter, ending_slots, link_filter, longer_grams;
  Block offsets, columns;  // offsets: entries + 1 ints
  std::vector<uint32_t> token_at, ending_bit_at, ending_at, link_bit_at, longer_at, entry_at;
  // Per input line: tokens, ending probes, link reads, longer grams read, features.
  std::vector<uint16_t> line_tokens, line_endings, line_links, line_longer, line_features;

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
    // Endings: the keys' last pieces; links: the last two pieces of the keys
    // of two or three, each of which is a longer gram.
    std::unordered_set<std::string> distinct, endings, links, endings_of_longer;
    size_t longer_keys = 0;
    for (std::string line; std::getline(dict, line); ++entries) {
      std::istringstream words(line);
      const std::vector<std::string> key{std::istream_iterator<std::string>(words), {}};
      for (size_t k = 1; k < key.size(); ++k)  // key[0] is the index
        distinct.insert(key[k].substr(0, key[k].rfind('_')));
      endings.insert(key.back());
      if (key.size() < 3) continue;
      ++longer_keys;
      links.insert(key[key.size() - 2] + " " + key.back());
      endings_of_longer.insert(key.back());
    }
    for (std::string line; std::getline(input, line);) {
      uint16_t t = 0, ends = 0, link_reads = 0, longer_reads = 0;
      std::istringstream words(line);
      std::string before, piece;
      for (std::string w; words >> w; before = piece) {
        piece = w + "_" + std::to_string(++t);
        if (!endings.count(piece)) continue;
        ++ends;
        if (t == 1) continue;
        ++link_reads;
        longer_reads += links.count(before + " " + piece);
      }
      line_tokens.push_back(t);
      line_endings.push_back(ends);
      line_links.push_back(link_reads);
      line_longer.push_back(longer_reads);
      const size_t n = line_features.size();
      line_features.push_back(static_cast<uint16_t>(std::floor((n + 1) * features) -
                                                    std::floor(n * features)));
    }
    if (entries == 0 || line_tokens.empty()) {
      error = "empty workload in " + dir;
      return;
    }
    uint64_t seed = 42;
    token_cap = pow2_at_least(distinct.size() / 0.7);
    ending_bits = pow2_at_least(std::max(64.0, 8.0 * endings.size()));
    ending_cap = pow2_at_least(std::max(16.0, 2.0 * endings.size()));
    link_bits = pow2_at_least(std::max(64.0, 8.0 * links.size()));
    longer = std::max<size_t>(1, longer_keys + endings_of_longer.size());
    tokens = random_block(token_cap * 16, seed);
    ending_filter = random_block(ending_bits / 8, seed);
    ending_slots = random_block(ending_cap * 16, seed);
    link_filter = random_block(link_bits / 8, seed);
    longer_grams = random_block(longer * 12, seed);
    lookup_bytes = token_cap * 16.0 + ending_bits / 8.0 + ending_cap * 16.0 + link_bits / 8.0 +
                   longer * 12.0;
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
    token_at = pool(size_t{1} << 20, token_cap, seed);
    ending_bit_at = pool(size_t{1} << 20, ending_bits, seed);
    ending_at = pool(size_t{1} << 20, ending_cap, seed);
    link_bit_at = pool(size_t{1} << 20, link_bits, seed);
    longer_at = pool(size_t{1} << 20, longer, seed);
    entry_at = pool(size_t{1} << 20, entries, seed);
  }
};

Floor& floor_of(const std::string& name) {
  static std::map<std::string, std::unique_ptr<Floor>> loaded;
  std::unique_ptr<Floor>& f = loaded[name];
  if (!f) f.reset(new Floor(name));
  return *f;
}

inline uint64_t bit(const Block& filter, uint32_t at) {
  return reinterpret_cast<const uint64_t*>(filter.get())[at / 64] >> (at % 64) & 1;
}

// One line's lookups: independent reads of the token slots and endings filter
// bits, of the ending slots and links filter bits of the positions that end a
// key, and of the longer grams of those whose link is a key's. The pools share
// the cursor c.
inline uint64_t lookups(const Floor& f, size_t line, size_t& c) {
  const uint64_t* tok = reinterpret_cast<const uint64_t*>(f.tokens.get());
  const uint64_t* ending = reinterpret_cast<const uint64_t*>(f.ending_slots.get());
  const uint32_t* gram = reinterpret_cast<const uint32_t*>(f.longer_grams.get());
  const size_t mask = f.token_at.size() - 1;
  uint64_t sum = 0;
  for (unsigned i = 0; i < f.line_tokens[line]; ++i, c = (c + 1) & mask)
    sum += tok[size_t{f.token_at[c]} * 2] + bit(f.ending_filter, f.ending_bit_at[c]);
  for (unsigned i = 0; i < f.line_endings[line]; ++i, c = (c + 1) & mask)
    sum += ending[size_t{f.ending_at[c]} * 2];
  for (unsigned i = 0; i < f.line_links[line]; ++i, c = (c + 1) & mask)
    sum += bit(f.link_filter, f.link_bit_at[c]);
  for (unsigned i = 0; i < f.line_longer[line]; ++i, c = (c + 1) & mask)
    sum += gram[size_t{f.longer_at[c]} * 3];
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
  size_t line = 0, c = 0, ce = 0;
  uint64_t isum = 0;
  float fsum = 0;
  for (auto _ : state) {
    if (kLookups) isum += lookups(f, line, c);
    if (kScoring) fsum += scoring(f, f.line_features[line], ce);
    if (++line == f.line_tokens.size()) line = 0;
  }
  benchmark::DoNotOptimize(isum);
  benchmark::DoNotOptimize(fsum);
  state.SetItemsProcessed(state.iterations());
  state.SetLabel("time per iteration = ns per line");
  state.counters["MiB_lookup_tables"] = f.lookup_bytes / (1 << 20);
  state.counters["MiB_scoring_tables"] = f.scoring_bytes / (1 << 20);
  if (!kLookups) return;
  const auto per_line = [](const std::vector<uint16_t>& counts) {
    return std::accumulate(counts.begin(), counts.end(), 0.0) / counts.size();
  };
  state.counters["tokens"] = per_line(f.line_tokens);
  state.counters["ending_probes"] = per_line(f.line_endings);
  state.counters["link_reads"] = per_line(f.line_links);
  state.counters["longer_reads"] = per_line(f.line_longer);
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
