// The JSON side of the inference protocol (Open Inference Protocol, REST):
// reading an infer request, writing answers and error bodies. No HTTP here.
//
// Thread-safety: stateless functions, callable from any thread.
#ifndef API_SERVE_PROTOCOL_H
#define API_SERVE_PROTOCOL_H

#include <cstdint>
#include <deque>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "maxent/decoder.h"

namespace maxent_serve {

// Most texts one infer request may carry.
constexpr size_t kMaxTexts = 10000;

// A request the server refuses: the HTTP status and the message of its
// {"error": message} body.
class RequestError : public std::runtime_error {
 public:
  RequestError(int status, const std::string& message)
      : std::runtime_error(message), status_(status) {}
  int status() const { return status_; }

 private:
  int status_;
};

struct InferRequest {
  std::optional<std::string> id;  // echoed in the answer when given
  uint64_t nbest = 1;
  // The texts: views into the request body where the JSON string held no
  // escape, else into `decoded` (whose elements stay in place when the
  // request is moved).
  std::vector<std::string_view> texts;
  std::deque<std::string> decoded;
};

// Reads the body of POST /v2/models/NAME/infer: one BYTES input "text" of
// shape [N] holding N strings, and the optional "id" and parameters.nbest.
// Throws RequestError: 400 for anything malformed, 413 past kMaxTexts texts.
// The texts may point into `body`, which must outlive the result.
InferRequest parse_infer_request(const std::string& body);

// `text` as a JSON string, quotes included: escaped as the document writer
// does, bytes that are not UTF-8 replaced by U+FFFD.
std::string json_string(std::string_view text);

// The answer to `request`: tensors "label" and "score" of shape [N, k] from
// `answers`, N * k ranked classes row-major (row i: the k best of text i),
// each naming its label by its index in `json_labels`, the class names as
// json_string writes them. Scores are written in the shortest form that
// reads back to the same double; NaN and infinities, which JSON cannot hold,
// as null.
std::string infer_response(const std::string& model_name, const InferRequest& request,
                           const std::vector<std::string>& json_labels,
                           const std::vector<maxent::RankedClass>& answers, size_t k);

std::string error_body(const std::string& message);
std::string server_metadata(const std::string& version);
std::string model_metadata(const std::string& model_name);

}  // namespace maxent_serve

#endif  // API_SERVE_PROTOCOL_H
