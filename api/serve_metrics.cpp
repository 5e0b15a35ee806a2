#include "serve_metrics.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

namespace maxent_serve {

void ServeMetrics::count_request(const std::string& endpoint, int status, double seconds) {
  const size_t bucket =
      std::lower_bound(kBounds.begin(), kBounds.end(), seconds) - kBounds.begin();
  std::lock_guard<std::mutex> lock(mutex_);
  requests_[{endpoint, status}]++;
  latency_buckets_[bucket]++;
  latency_sum_ += seconds;
}

void ServeMetrics::count_texts(uint64_t texts) {
  std::lock_guard<std::mutex> lock(mutex_);
  texts_ += texts;
}

void ServeMetrics::count_load(bool reload, bool succeeded, double seconds) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (succeeded) load_seconds_ = seconds;
  if (reload) (succeeded ? reloads_succeeded_ : reloads_failed_)++;
}

namespace {

void append(std::string& out, const char* format, ...) __attribute__((format(printf, 2, 3)));

void append(std::string& out, const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  const int n = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  out.append(line, std::min<size_t>(n, sizeof line - 1));
}

}  // namespace

std::string ServeMetrics::render() const {
  std::lock_guard<std::mutex> lock(mutex_);
  std::string out;
  out += "# HELP maxent_requests_total HTTP requests answered, by endpoint and status.\n"
         "# TYPE maxent_requests_total counter\n";
  for (const auto& [key, count] : requests_)
    append(out, "maxent_requests_total{endpoint=\"%s\",status=\"%d\"} %llu\n", key.first.c_str(),
           key.second, static_cast<unsigned long long>(count));
  out += "# HELP maxent_texts_classified_total Texts classified by infer requests.\n"
         "# TYPE maxent_texts_classified_total counter\n";
  append(out, "maxent_texts_classified_total %llu\n", static_cast<unsigned long long>(texts_));
  out += "# HELP maxent_request_duration_seconds Time from a request's headers to its answer.\n"
         "# TYPE maxent_request_duration_seconds histogram\n";
  uint64_t cumulative = 0;
  for (size_t b = 0; b < latency_buckets_.size(); b++) {
    cumulative += latency_buckets_[b];
    if (b < kBounds.size())
      append(out, "maxent_request_duration_seconds_bucket{le=\"%g\"} %llu\n", kBounds[b],
             static_cast<unsigned long long>(cumulative));
    else
      append(out, "maxent_request_duration_seconds_bucket{le=\"+Inf\"} %llu\n",
             static_cast<unsigned long long>(cumulative));
  }
  append(out, "maxent_request_duration_seconds_sum %.9g\n", latency_sum_);
  append(out, "maxent_request_duration_seconds_count %llu\n",
         static_cast<unsigned long long>(cumulative));
  out += "# HELP maxent_model_load_seconds Time the model in service took to load.\n"
         "# TYPE maxent_model_load_seconds gauge\n";
  append(out, "maxent_model_load_seconds %.6f\n", load_seconds_);
  out += "# HELP maxent_model_reloads_total Reloads of the model, by outcome.\n"
         "# TYPE maxent_model_reloads_total counter\n";
  append(out, "maxent_model_reloads_total{outcome=\"success\"} %llu\n",
         static_cast<unsigned long long>(reloads_succeeded_));
  append(out, "maxent_model_reloads_total{outcome=\"failure\"} %llu\n",
         static_cast<unsigned long long>(reloads_failed_));
  return out;
}

}  // namespace maxent_serve
