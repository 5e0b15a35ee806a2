// The HTTP front of one model: the routes of the inference protocol, request
// logs on standard error, metrics, and reloads of the model in service.
//
// Life cycle: bind(), then run() on a thread of its own, which serves until
// stop(); meanwhile load() puts the model in service (until then the model's
// endpoints answer 503). stop() and reload() may come from any thread.
#ifndef API_SERVE_SERVER_H
#define API_SERVE_SERVER_H

#include <httplib.h>

#include <memory>
#include <string>

#include "serve_metrics.h"
#include "serve_model.h"

namespace maxent_serve {

class ClassifyPool;

struct ServeOptions {
  std::string model_dir;
  std::string dictionary;
  std::string host = "127.0.0.1";
  int port = 8080;           // 0: any free port
  int threads = 0;           // threads classifying the texts of one request (0: cores)
  std::string model_name;
  size_t max_body = 16 << 20;  // bytes
};

class InferenceServer {
 public:
  explicit InferenceServer(ServeOptions options);
  ~InferenceServer();

  // Binds the listening socket; returns the port, or -1 on failure.
  int bind();
  // Accepts connections until stop(), then returns once every connection
  // has ended (requests in flight are answered first).
  void run();
  // Returns once run() is accepting connections.
  void wait_until_running() const;
  void stop();

  // The first load of the model: throws the engine's error on failure.
  void load();
  // Loads the model again (SIGHUP, POST .../load) and logs the outcome;
  // returns the engine's message on failure, empty on success.
  std::string reload(const char* trigger);

 private:
  void dispatch(const httplib::Request& request, httplib::Response& response);
  void infer(const httplib::Request& request, httplib::Response& response);
  void log_request(const httplib::Request& request, const httplib::Response& response);

  const ServeOptions options_;
  ModelSlot model_;
  ServeMetrics metrics_;
  std::unique_ptr<ClassifyPool> classifier_;  // its threads outlive http_'s
  httplib::Server http_;
};

}  // namespace maxent_serve

#endif  // API_SERVE_SERVER_H
