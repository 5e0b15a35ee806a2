// The stages one input line goes through, each timed over the lines of a
// benchmark workload (bench/gen.py), so that a profile of the decoder can be
// read against them:
//   features     n-gram strings formed and looked up in the dictionary
//   order_dedup  the line's indices sorted and made repeat-free
//   index        product of the sample with the linear model's inverted index
//   kernel       scores of all classifiers of the kernel model (kernel lines)
//   sigmoid      the logistic transform of one score per class
//   rank_full    the heapsort of all scores
//   facade_line  the facade's scoring of a line with the 3 best ranked:
//                order_dedup, index and the ranking together
//   print        formatting of the 3 best "name:score " pairs
//
// Each linear stage runs on S and on M, the kernel stage on K. Workloads:
// BENCH_WORKLOADS names a folder holding S, M and K as written by `make bench`
// (build/bench), whose whole inputs are then used (the lines' tables are not
// cached, as in the decoder); without it, small S and K (2000 lines, the full
// S dictionary and linear model, a 2000-support-vector K) are generated in a
// temporary folder at start-up, and the M benchmarks are skipped.
#include <benchmark/benchmark.h>
#include <ftw.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "ZDmdata_api.h"
#include "ZDmult_classnames.h"
#include "Zanda_api.h"
#include "loadfeats.h"
#include "score_format.h"

namespace {

int remove_entry(const char* path, const struct stat*, int, struct FTW*) {
  return remove(path);
}

// A model loaded the way the facade loads it, with its parts in reach.
struct Loaded {
  MultiCategData model;
  MultiSuper super;
  explicit Loaded(const std::string& dir) {
    AnyParmListTable table;
    table.base_dir = string_t((dir + "/").c_str());
    table.load_parameter_table((dir + "/zanda.parm").c_str());
    super.init_categs(table);
    Mvec<const char*> names;
    super.get_classifier_names(names);
    model.load_mdl_parms(table, names, true);
  }
};

struct Workload {
  std::string dir;
  std::vector<std::string> lines;
  DSTHashTable dict = nullptr;
  std::vector<std::vector<int>> features;  // per line, in generation order
};

struct World {
  std::string tmp;
  size_t max_lines = 2000;
  Workload s, m, k;
  Loaded* linear[2] = {nullptr, nullptr};  // S, M
  Loaded* kernel = nullptr;
  ZandaModelAPI facade[2];

  World() {
    ZDEvent::tracefile = fopen("/dev/null", "w");
    std::string root;
    if (const char* given = getenv("BENCH_WORKLOADS")) {
      root = given;
      max_lines = 100000;
    } else {
      char pattern[] = "/tmp/benchstagesXXXXXX";
      tmp = root = mkdtemp(pattern);
      std::string gen = std::string(BENCH_SOURCE_DIR) + "/gen.py";
      std::string cmd = "python3 " + gen + " S " + root +
                        "/S --lines 2000 > /dev/null && python3 " + gen + " K " + root +
                        "/K --lines 2000 --svs 2000 > /dev/null";
      if (system(cmd.c_str()) != 0) {
        fprintf(stderr, "workload generation failed: %s\n", cmd.c_str());
        exit(1);
      }
    }
    Workload* linear_workloads[2] = {&s, &m};
    for (int w = 0; w < 2; w++) {
      Workload& lw = *linear_workloads[w];
      if (!load(lw, root + (w == 0 ? "/S" : "/M"), max_lines)) continue;
      linear[w] = new Loaded(lw.dir + "/model-bin");
      facade[w].load_mdl_parms((lw.dir + "/model-bin").c_str());
    }
    load(k, root + "/K", 2000);  // a kernel line takes about 0.3 ms
    kernel = new Loaded(k.dir + "/model");
  }
  ~World() {
    if (!tmp.empty()) nftw(tmp.c_str(), remove_entry, 16, FTW_DEPTH | FTW_PHYS);
  }

  // False when the folder holds no workload.
  static bool load(Workload& w, const std::string& dir, size_t max_lines) {
    w.dir = dir;
    std::ifstream in(dir + "/input.txt");
    if (!in) return false;
    for (std::string line; std::getline(in, line) && w.lines.size() < max_lines;)
      w.lines.push_back(line);
    w.dict = LoadFeats((dir + "/dict.txt").c_str(), 0);
    std::vector<int> buf(100000);
    for (const std::string& line : w.lines) {
      int n = GenerateUptoTrigrams(line.c_str(), w.dict, buf.data(), static_cast<int>(buf.size()));
      w.features.emplace_back(buf.begin(), buf.begin() + n);
    }
    return true;
  }
};

World& world() {
  static World* w = new World;
  return *w;
}

std::vector<int> ordered(std::vector<int> f) {
  std::sort(f.begin(), f.end());
  f.erase(std::unique(f.begin(), f.end()), f.end());
  return f;
}

// The one-field sample of a line's ordered indices.
Mvec<TableIdx> sample_of(const std::vector<int>& f) {
  Mvec<TableIdx> samp(1);
  for (int i : f) samp[0].append(ElemIdx{i});
  return samp;
}

void per_line(benchmark::State& state, size_t lines) {
  state.SetItemsProcessed(state.iterations() * static_cast<int64_t>(lines));
  state.SetLabel("items = lines");
}

// The linear workload w (0: S, 1: M) and its model, or null after skipping
// the benchmark when the workload is missing.
Workload* linear_workload(benchmark::State& state, int w) {
  World& wd = world();
  if (!wd.linear[w]) {
    state.SkipWithError("no such workload (see BENCH_WORKLOADS)");
    return nullptr;
  }
  return w == 0 ? &wd.s : &wd.m;
}

void BM_features(benchmark::State& state, int size) {
  Workload* w = linear_workload(state, size);
  if (!w) return;
  std::vector<int> buf(100000);
  for (auto _ : state)
    for (const std::string& line : w->lines)
      benchmark::DoNotOptimize(GenerateUptoTrigrams(line.c_str(), w->dict, buf.data(), 100000));
  per_line(state, w->lines.size());
}

void BM_order_dedup(benchmark::State& state, int size) {
  Workload* w = linear_workload(state, size);
  if (!w) return;
  std::vector<int> f;
  for (auto _ : state) {
    for (const std::vector<int>& line : w->features) {
      f.assign(line.begin(), line.end());
      std::sort(f.begin(), f.end());
      benchmark::DoNotOptimize(std::unique(f.begin(), f.end()));
    }
  }
  per_line(state, w->features.size());
}

void BM_index(benchmark::State& state, int size) {
  Workload* w = linear_workload(state, size);
  if (!w) return;
  std::vector<Mvec<TableIdx>> samples;
  for (const std::vector<int>& f : w->features) samples.push_back(sample_of(ordered(f)));
  TableValIdx out;
  for (auto _ : state)
    for (const Mvec<TableIdx>& samp : samples)
      world().linear[size]->model.transposes[0].transpose_product_add(samp[0], out);
  per_line(state, samples.size());
}

void BM_kernel(benchmark::State& state) {
  World& wd = world();
  std::vector<Mvec<TableIdx>> samples;
  for (const std::vector<int>& f : wd.k.features) samples.push_back(sample_of(ordered(f)));
  Mvec<double> outs;
  for (auto _ : state)
    for (Mvec<TableIdx>& samp : samples) wd.kernel->model.test_samp(samp, outs, SIGMOID_RAW);
  per_line(state, samples.size());
}

// Raw scores of the S linear model for every line.
std::vector<std::vector<double>> raw_scores() {
  World& wd = world();
  std::vector<std::vector<double>> all;
  Mvec<double> outs;
  for (const std::vector<int>& f : wd.s.features) {
    Mvec<TableIdx> samp = sample_of(ordered(f));
    wd.linear[0]->model.test_samp(samp, outs, SIGMOID_RAW);
    all.emplace_back(outs.begin(), outs.end());
  }
  return all;
}
void BM_sigmoid(benchmark::State& state) {
  std::vector<std::vector<double>> raw = raw_scores();
  Mvec<double> outs;
  for (auto _ : state) {
    for (const std::vector<double>& r : raw) {
      outs.set_nitems(static_cast<int>(r.size()));
      std::copy(r.begin(), r.end(), outs.begin());
      apply_sigmoid(outs, SIGMOID_LOGISTIC);
      benchmark::DoNotOptimize(outs.data);
    }
  }
  per_line(state, raw.size());
}

void BM_rank_full(benchmark::State& state) {
  std::vector<std::vector<double>> raw = raw_scores();
  Mvec<double> values;
  Mvec<int> idx;
  for (auto _ : state) {
    for (const std::vector<double>& r : raw) {
      int n = static_cast<int>(r.size());
      values.set_nitems(n);
      idx.set_nitems(n);
      for (int i = 0; i < n; i++) {
        values[i] = r[i];
        idx[i] = i;
      }
      sort_double_down(values, idx);
    }
  }
  per_line(state, raw.size());
}

// Facade scoring of a line (sort and de-duplication of its indices, index
// product, ranking) with the 3 best ranked, as the decoder's -n 3.
void BM_facade_line(benchmark::State& state, int size) {
  Workload* w = linear_workload(state, size);
  if (!w) return;
  ZandaModelAPI& facade = world().facade[size];
  int n = facade.get_nfiers();
  std::vector<double> outs(n);
  std::vector<int> ranks(n);
  std::vector<int> f;
  for (auto _ : state) {
    for (const std::vector<int>& line : w->features) {
      f = line;
      facade.test_samp(f.data(), static_cast<int>(f.size()), outs.data(), ranks.data(), 3);
    }
  }
  per_line(state, w->features.size());
}

void BM_print(benchmark::State& state) {
  World& wd = world();
  FILE* sink = fopen("/dev/null", "w");
  const double scores[3] = {0.9876543, 0.5, 1.2161e-37};
  size_t lines = wd.s.lines.size();
  std::string line;
  for (auto _ : state) {
    for (size_t l = 0; l < lines; l++) {
      // As the decoder writes an answer: formatted into one buffer, then one
      // write.
      line.clear();
      for (int i = 0; i < 3; i++) {
        line += wd.facade[0].classifier_name(static_cast<int>((l + i) % 20));
        line += ':';
        char score[32];
        line.append(score, FormatScore(scores[i], score));
        line += ' ';
      }
      line += '\n';
      fwrite(line.data(), 1, line.size(), sink);
    }
  }
  fclose(sink);
  per_line(state, lines);
}

BENCHMARK_CAPTURE(BM_features, S, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_features, M, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_order_dedup, S, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_order_dedup, M, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_index, S, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_index, M, 1)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_facade_line, S, 0)->Unit(benchmark::kMillisecond);
BENCHMARK_CAPTURE(BM_facade_line, M, 1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_kernel)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_sigmoid)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_rank_full)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_print)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
