// Inference server: loads one model and its dictionary, then answers the
// REST endpoints of the Open Inference Protocol (V2) over HTTP/1.1 until
// SIGTERM or SIGINT; SIGHUP loads the model again without downtime.
#include <getopt.h>
#include <signal.h>
#include <unistd.h>

#include <charconv>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <exception>
#include <string>
#include <thread>

#include "serve_server.h"

namespace {

[[noreturn]] void usage() {
  fprintf(stderr,
          "Usage: MaxEntServe -m MODEL_DIR -d DICTIONARY [-p PORT] [-H HOST] [-t THREADS]\n"
          "                   [-N NAME] [--max-body BYTES]\n"
          "  -p PORT          port to listen on (default 8080; 0: any free port)\n"
          "  -H HOST          address to listen on (default 127.0.0.1)\n"
          "  -t THREADS       threads classifying the texts of one request (default: cores)\n"
          "  -N NAME          model name in the URLs (default: the model folder's name)\n"
          "  --max-body BYTES largest request body (default 16777216)\n");
  exit(1);
}

// `text` as a whole decimal number within [low, high], or usage().
long long number(const char* text, long long low, long long high) {
  long long value = 0;
  const char* end = text + strlen(text);
  const auto [stop, error] = std::from_chars(text, end, value);
  if (error != std::errc() || stop != end || *text == '\0' || value < low || value > high)
    usage();
  return value;
}

// The last component of a folder path, trailing slashes ignored.
std::string base_name(std::string path) {
  while (path.size() > 1 && path.back() == '/') path.pop_back();
  const size_t slash = path.rfind('/');
  return slash == std::string::npos || path.size() == 1 ? path : path.substr(slash + 1);
}

maxent_serve::ServeOptions parse_command_line(int argc, char** argv) {
  maxent_serve::ServeOptions options;
  options.threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  static const option kLong[] = {{"max-body", required_argument, nullptr, 'b'},
                                 {nullptr, 0, nullptr, 0}};
  for (int c; (c = getopt_long(argc, argv, "m:d:p:H:t:N:", kLong, nullptr)) != -1;) {
    switch (c) {
      case 'm': options.model_dir = optarg; break;
      case 'd': options.dictionary = optarg; break;
      case 'p': options.port = static_cast<int>(number(optarg, 0, 65535)); break;
      case 'H': options.host = optarg; break;
      case 't': options.threads = static_cast<int>(number(optarg, 1, 1024)); break;
      case 'N': options.model_name = optarg; break;
      case 'b': options.max_body = static_cast<size_t>(number(optarg, 1, 1LL << 40)); break;
      default: usage();
    }
  }
  if (optind != argc || options.model_dir.empty() || options.dictionary.empty()) usage();
  if (options.model_name.empty()) options.model_name = base_name(options.model_dir);
  if (options.model_name.find('/') != std::string::npos) usage();
  return options;
}

// Takes the blocked SIGHUP, SIGTERM and SIGINT: reloads on the first, stops
// the server on the others.
void handle_signals(maxent_serve::InferenceServer& server, const sigset_t& signals) {
  for (;;) {
    int signal = 0;
    if (sigwait(&signals, &signal) != 0) continue;
    if (signal == SIGHUP) {
      server.reload("SIGHUP");
      continue;
    }
    fprintf(stderr, "stopping on %s\n", strsignal(signal));
    server.stop();
    return;
  }
}

}  // namespace

int main(int argc, char** argv) {
  const maxent_serve::ServeOptions options = parse_command_line(argc, argv);
  // Blocked before any thread starts, so that every thread inherits the mask
  // and only the signal thread takes these.
  sigset_t signals;
  sigemptyset(&signals);
  for (int signal : {SIGHUP, SIGTERM, SIGINT}) sigaddset(&signals, signal);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);  // a client that hangs up is not a reason to end

  maxent_serve::InferenceServer server(options);
  const int port = server.bind();
  if (port < 0) {
    fprintf(stderr, "MaxEntServe: cannot listen on %s:%d\n", options.host.c_str(), options.port);
    return 1;
  }
  std::thread http([&server] { server.run(); });
  server.wait_until_running();
  std::thread signal_thread([&server, &signals] { handle_signals(server, signals); });

  int status = 0;
  try {
    server.load();
    fprintf(stderr, "listening on %s:%d\n", options.host.c_str(), port);
  } catch (const std::exception& e) {  // maxent::Error, std::bad_alloc
    const std::string message = e.what();
    fprintf(stderr, "%s%s", message.c_str(), message.empty() || message.back() != '\n' ? "\n" : "");
    status = 1;
    kill(getpid(), SIGTERM);  // the signal thread stops the server
  }
  http.join();
  signal_thread.join();
  return status;
}
