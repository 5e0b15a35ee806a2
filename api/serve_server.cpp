#include "serve_server.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <exception>
#include <functional>
#include <mutex>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "serve_protocol.h"

namespace maxent_serve {

namespace {

using Clock = std::chrono::steady_clock;
const char kJson[] = "application/json";

enum Endpoint { kLive, kReady, kServer, kModel, kModelReady, kInfer, kLoad, kMetrics, kUnknown };

struct EndpointInfo {
  const char* label;   // in logs and metrics
  const char* method;  // the one method it answers (GET also answers HEAD)
  bool names_model;    // its path holds a model name
};

constexpr EndpointInfo kEndpoints[] = {
    {"health_live", "GET", false}, {"health_ready", "GET", false}, {"server", "GET", false},
    {"model", "GET", true},        {"model_ready", "GET", true},   {"infer", "POST", true},
    {"load", "POST", true},        {"metrics", "GET", false},      {"unknown", nullptr, false}};

struct Route {
  Endpoint endpoint = kUnknown;
  std::string_view model;  // the model named in the path
};

// The endpoint of a request path, and the model name in it.
Route resolve(std::string_view path) {
  static const std::pair<std::string_view, Endpoint> kFixed[] = {
      {"/v2/health/live", kLive}, {"/v2/health/ready", kReady}, {"/v2", kServer},
      {"/metrics", kMetrics}};
  for (const auto& [fixed, endpoint] : kFixed)
    if (path == fixed) return {endpoint, {}};
  // PREFIX NAME SUFFIX, NAME without '/'.
  static const struct {
    std::string_view prefix, suffix;
    Endpoint endpoint;
  } kPerModel[] = {{"/v2/models/", "", kModel},
                   {"/v2/models/", "/ready", kModelReady},
                   {"/v2/models/", "/infer", kInfer},
                   {"/v2/repository/models/", "/load", kLoad}};
  for (const auto& route : kPerModel) {
    if (path.substr(0, route.prefix.size()) != route.prefix) continue;
    const std::string_view rest = path.substr(route.prefix.size());
    const size_t slash = std::min(rest.find('/'), rest.size());
    if (rest.substr(slash) == route.suffix) return {route.endpoint, rest.substr(0, slash)};
  }
  return {};
}

// What the request log and the latency histogram know of the request that
// the current thread serves: httplib serves a request on one thread, from
// the pre-routing handler to the logger.
struct RequestTrace {
  Clock::time_point start;  // epoch: the request failed before routing
  size_t texts = 0;
};
thread_local RequestTrace trace;

// Paths are logged with their control characters replaced.
std::string printable(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
  return out;
}

// Runs every connection on a thread of its own, so that a client holding a
// keep-alive connection never keeps another one waiting. Threads start when
// no idle one is left, up to kMaxThreads, and stay for later connections.
// httplib calls enqueue from its accepting thread, then shutdown once.
class ConnectionThreads : public httplib::TaskQueue {
 public:
  void enqueue(std::function<void()> connection) override {
    std::lock_guard<std::mutex> lock(mutex_);
    connections_.push_back(std::move(connection));
    if (connections_.size() > idle_ && threads_.size() < kMaxThreads)
      threads_.emplace_back([this] { serve(); });
    waiting_.notify_one();
  }

  // Returns once every connection accepted so far has ended.
  void shutdown() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      shutting_down_ = true;
    }
    waiting_.notify_all();
    for (std::thread& thread : threads_) thread.join();
  }

 private:
  static constexpr size_t kMaxThreads = 512;

  void serve() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      idle_++;
      waiting_.wait(lock, [this] { return !connections_.empty() || shutting_down_; });
      idle_--;
      if (connections_.empty()) return;
      std::function<void()> connection = std::move(connections_.front());
      connections_.pop_front();
      lock.unlock();
      connection();
      lock.lock();
    }
  }

  std::mutex mutex_;
  std::condition_variable waiting_;
  std::deque<std::function<void()>> connections_;
  std::vector<std::thread> threads_;
  size_t idle_ = 0;
  bool shutting_down_ = false;
};

}  // namespace

// Classifies the texts of a request on the thread that serves its connection
// and on `threads - 1` helpers shared by every request, started once: no
// thread starts per request. Texts go out in small chunks from a counter, so
// a request whose helpers are busy elsewhere simply classifies more of its
// texts itself, and under load every connection thread keeps a core busy.
class ClassifyPool {
 public:
  explicit ClassifyPool(int threads) {
    if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    for (int t = 1; t < threads; t++) helpers_.emplace_back([this] { help(); });
  }

  ~ClassifyPool() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    for (std::thread& helper : helpers_) helper.join();
  }

  // The k best classes of every text: k entries a text, texts in input order.
  std::vector<maxent::RankedClass> classify(const maxent::Model& model,
                                            const std::vector<std::string_view>& texts, int k) {
    std::vector<maxent::RankedClass> answers(texts.size() * static_cast<size_t>(k));
    Job job(model, texts, answers, k);
    const bool shared = !helpers_.empty() && texts.size() > kChunk;
    if (shared) {
      {
        std::lock_guard<std::mutex> lock(mutex_);
        jobs_.push_back(&job);
      }
      wake_.notify_one();
    }
    run(job);
    if (shared) {
      // No helper may touch the job once this returns.
      std::unique_lock<std::mutex> lock(mutex_);
      withdraw(&job);
      job.done.wait(lock, [&job] { return job.helpers == 0; });
    }
    if (job.error) std::rethrow_exception(job.error);
    return answers;
  }

 private:
  static constexpr size_t kChunk = 8;

  struct Job {
    Job(const maxent::Model& model, const std::vector<std::string_view>& texts,
        std::vector<maxent::RankedClass>& answers, int k)
        : model(model), texts(texts), answers(answers), k(k) {}
    const maxent::Model& model;
    const std::vector<std::string_view>& texts;
    std::vector<maxent::RankedClass>& answers;
    const int k;
    std::atomic<size_t> next{0};
    std::exception_ptr error;    // the first failure, set under mutex_
    int helpers = 0;             // helpers on it, guarded by mutex_
    std::condition_variable done;  // helpers reached 0
  };

  // Classifies chunks of the job until none is left, each text's classes
  // straight into its row of the answers.
  void run(Job& job) {
    const size_t n = job.texts.size(), k = static_cast<size_t>(job.k);
    try {
      for (size_t begin; (begin = job.next.fetch_add(kChunk)) < n;)
        for (size_t i = begin; i < std::min(begin + kChunk, n); i++)
          job.model.classify_into(job.texts[i], job.k, job.answers.data() + i * k);
    } catch (...) {  // std::bad_alloc: the request fails, the others go on
      job.next = n;
      std::lock_guard<std::mutex> lock(mutex_);
      if (!job.error) job.error = std::current_exception();
    }
  }

  // Takes the job off the queue, if still there. mutex_ held.
  void withdraw(Job* job) {
    const auto it = std::find(jobs_.begin(), jobs_.end(), job);
    if (it != jobs_.end()) jobs_.erase(it);
  }

  void help() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return stopping_ || !jobs_.empty(); });
      if (stopping_) return;
      Job* job = jobs_.front();
      job->helpers++;
      // More chunks than this helper will take: another idle one may join.
      if (helpers_.size() > 1 && job->next.load() + 2 * kChunk < job->texts.size())
        wake_.notify_one();
      lock.unlock();
      run(*job);
      lock.lock();
      withdraw(job);  // nothing left to hand out
      if (--job->helpers == 0) job->done.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Job*> jobs_;  // requests with chunks to hand out, oldest first
  bool stopping_ = false;
  std::vector<std::thread> helpers_;
};

namespace {

// The message of an error status that httplib answers by itself. httplib
// also refuses form-encoded bodies over 8 KiB with 413.
std::string status_message(const httplib::Request& request, int status, size_t max_body) {
  switch (status) {
    case 413:
      if (request.get_header_value("Content-Type") == "application/x-www-form-urlencoded" &&
          request.get_header_value<uint64_t>("Content-Length") <= max_body)
        return "form-encoded request bodies stop at 8192 bytes; send application/json";
      return "request body over " + std::to_string(max_body) + " bytes";
    case 414: return "request URI too long";
    case 404: return "unknown path";
    case 500: return "internal error";
    default: return "malformed HTTP request";
  }
}

}  // namespace

InferenceServer::InferenceServer(ServeOptions options)
    : options_(std::move(options)),
      model_(options_.model_dir, options_.dictionary),
      classifier_(std::make_unique<ClassifyPool>(options_.threads)) {
  http_.new_task_queue = [] { return new ConnectionThreads; };
  http_.set_tcp_nodelay(true);
  http_.set_keep_alive_max_count(1000000);
  // Idle and stalled connections end within these, so that a stop never
  // waits for them long.
  http_.set_keep_alive_timeout(2);
  http_.set_read_timeout(2);
  http_.set_payload_max_length(options_.max_body);
  // A request with neither Content-Length nor Transfer-Encoding has no body;
  // it is answered here, before httplib would wait for one until its timeout.
  http_.set_pre_routing_handler([this](const httplib::Request& request,
                                       httplib::Response& response) {
    trace = {Clock::now(), 0};
    if (request.has_header("Content-Length") || request.has_header("Transfer-Encoding"))
      return httplib::Server::HandlerResponse::Unhandled;
    dispatch(request, response);
    return httplib::Server::HandlerResponse::Handled;
  });
  const auto handler = [this](const httplib::Request& request, httplib::Response& response) {
    dispatch(request, response);
  };
  http_.Get(".*", handler);
  http_.Post(".*", handler);
  http_.Put(".*", handler);
  http_.Patch(".*", handler);
  http_.Delete(".*", handler);
  http_.Options(".*", handler);
  http_.set_error_handler(httplib::Server::Handler(
      [this](const httplib::Request& request, httplib::Response& response) {
        if (response.body.empty())
          response.set_content(
              error_body(status_message(request, response.status, options_.max_body)), kJson);
      }));
  http_.set_exception_handler(
      [](const httplib::Request&, httplib::Response& response, std::exception_ptr) {
        response.status = 500;
        response.set_content(error_body("internal error"), kJson);
      });
  http_.set_logger([this](const httplib::Request& request, const httplib::Response& response) {
    log_request(request, response);
  });
}

InferenceServer::~InferenceServer() = default;

int InferenceServer::bind() {
  if (options_.port == 0) return http_.bind_to_any_port(options_.host);
  return http_.bind_to_port(options_.host, options_.port) ? options_.port : -1;
}

void InferenceServer::run() { http_.listen_after_bind(); }

void InferenceServer::wait_until_running() const {
  while (!http_.is_running()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

void InferenceServer::stop() { http_.stop(); }

void InferenceServer::load() { metrics_.count_load(false, true, model_.load()); }

std::string InferenceServer::reload(const char* trigger) {
  try {
    const double seconds = model_.load();
    metrics_.count_load(true, true, seconds);
    fprintf(stderr, "reloaded model %s (%s) in %.3f s\n", options_.model_name.c_str(), trigger,
            seconds);
    return {};
  } catch (const std::exception& e) {  // maxent::Error, std::bad_alloc
    metrics_.count_load(true, false, 0);
    fprintf(stderr, "reload of model %s (%s) failed, the previous model stays in service: %s\n",
            options_.model_name.c_str(), trigger, e.what());
    return e.what();
  }
}

void InferenceServer::dispatch(const httplib::Request& request, httplib::Response& response) {
  const Route route = resolve(request.path);
  const EndpointInfo& info = kEndpoints[route.endpoint];
  try {
    if (route.endpoint == kUnknown) throw RequestError(404, "unknown path");
    const bool head = request.method == "HEAD" && std::string_view(info.method) == "GET";
    if (request.method != info.method && !head) {
      response.set_header("Allow", info.method);
      throw RequestError(405, std::string("method not allowed; use ") + info.method);
    }
    if (info.names_model && route.model != options_.model_name)
      throw RequestError(404, "unknown model \"" + std::string(route.model) + "\"");
    switch (route.endpoint) {
      case kLive:
        response.set_content("{\"live\":true}", kJson);
        break;
      case kReady:
      case kModelReady:
        if (!model_.current()) throw RequestError(503, "model not loaded");
        response.set_content("{\"ready\":true}", kJson);
        break;
      case kServer:
        response.set_content(server_metadata(MAXENT_VERSION), kJson);
        break;
      case kModel:
        response.set_content(model_metadata(options_.model_name), kJson);
        break;
      case kInfer:
        infer(request, response);
        break;
      case kLoad:
        if (const std::string failure = reload("POST"); !failure.empty())
          throw RequestError(400, failure);
        response.set_content("{}", kJson);
        break;
      case kMetrics:
        response.set_content(metrics_.render(), "text/plain; version=0.0.4; charset=utf-8");
        break;
      case kUnknown:
        break;
    }
  } catch (const RequestError& e) {
    response.status = e.status();
    response.set_content(error_body(e.what()), kJson);
  }
}

void InferenceServer::infer(const httplib::Request& request, httplib::Response& response) {
  // This request's model: a reload meanwhile does not change it.
  const std::shared_ptr<const ServedModel> served = model_.current();
  if (!served) throw RequestError(503, "model not loaded");
  const maxent::Model& model = *served->model;
  const InferRequest parsed = parse_infer_request(request.body);
  trace.texts = parsed.texts.size();
  const size_t k = std::min<uint64_t>(parsed.nbest, model.classes().size());
  const std::vector<maxent::RankedClass> answers =
      classifier_->classify(model, parsed.texts, static_cast<int>(k));
  metrics_.count_texts(parsed.texts.size());
  response.body = infer_response(options_.model_name, parsed, served->json_labels, answers, k);
  response.set_header("Content-Type", kJson);
}

void InferenceServer::log_request(const httplib::Request& request,
                                  const httplib::Response& response) {
  const auto micros =
      trace.start == Clock::time_point()
          ? 0
          : std::chrono::duration_cast<std::chrono::microseconds>(Clock::now() - trace.start)
                .count();
  metrics_.count_request(kEndpoints[resolve(request.path).endpoint].label, response.status,
                         micros * 1e-6);
  fprintf(stderr, "%s %s %d texts=%zu us=%lld\n", printable(request.method).c_str(),
          printable(request.path).c_str(), response.status, trace.texts,
          static_cast<long long>(micros));
  trace = {};
}

}  // namespace maxent_serve
