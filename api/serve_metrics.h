// What the inference server counts, and its rendering in the Prometheus text
// exposition format for GET /metrics.
//
// Thread-safety: every method may run on any number of threads at once.
#ifndef API_SERVE_METRICS_H
#define API_SERVE_METRICS_H

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <utility>

namespace maxent_serve {

class ServeMetrics {
 public:
  // One answered request: its endpoint label, HTTP status and duration.
  void count_request(const std::string& endpoint, int status, double seconds);
  void count_texts(uint64_t texts);
  // A load of the model: the first (`reload` false) or a later one.
  void count_load(bool reload, bool succeeded, double seconds);

  std::string render() const;

 private:
  // Upper bounds of the latency histogram's buckets, in seconds (+Inf apart).
  static constexpr std::array<double, 14> kBounds = {
      0.0001, 0.00025, 0.0005, 0.001, 0.0025, 0.005, 0.01,
      0.025,  0.05,    0.1,    0.25,  0.5,   1,     5};

  mutable std::mutex mutex_;
  std::map<std::pair<std::string, int>, uint64_t> requests_;
  std::array<uint64_t, kBounds.size() + 1> latency_buckets_{};  // not cumulative
  double latency_sum_ = 0;
  uint64_t texts_ = 0;
  double load_seconds_ = 0;  // of the model in service
  uint64_t reloads_succeeded_ = 0;
  uint64_t reloads_failed_ = 0;
};

}  // namespace maxent_serve

#endif  // API_SERVE_METRICS_H
