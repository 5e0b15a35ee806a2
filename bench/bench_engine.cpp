// Lines per second of the embedding interface on the M workload of
// `make bench`: classify on one thread, and classify_batch with nbest 3 on 1
// and 2 threads, to show how the batch scales across cores.
//   BENCH_WORKLOADS=build/bench build/bench/bench_engine
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "maxent/decoder.h"

namespace {

struct Workload {
  std::shared_ptr<const maxent::Model> model;
  std::vector<std::string> lines;

  Workload() {
    const char* root = getenv("BENCH_WORKLOADS");
    const std::string dir = std::string(root ? root : "build/bench") + "/M";
    model = maxent::Model::load(dir + "/model-bin", dir + "/dict.txt");
    std::ifstream in(dir + "/input.txt");
    for (std::string line; lines.size() < 20000 && std::getline(in, line);) lines.push_back(line);
  }
};

const Workload& workload() {
  static const Workload w;
  return w;
}

void BM_Classify(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state)
    for (const std::string& line : w.lines) benchmark::DoNotOptimize(w.model->classify(line, 3));
  state.SetItemsProcessed(state.iterations() * w.lines.size());
}
BENCHMARK(BM_Classify)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_ClassifyBatch(benchmark::State& state) {
  const Workload& w = workload();
  for (auto _ : state)
    benchmark::DoNotOptimize(w.model->classify_batch(w.lines, 3, static_cast<int>(state.range(0))));
  state.SetItemsProcessed(state.iterations() * w.lines.size());
}
BENCHMARK(BM_ClassifyBatch)->Arg(1)->Arg(2)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
