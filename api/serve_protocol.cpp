#include "serve_protocol.h"

#include <nlohmann/json.hpp>

using nlohmann::json;

namespace maxent_serve {

namespace {

// Class names and ids come from files and clients: bytes that are not UTF-8
// are replaced rather than refused. Doubles are written in the shortest form
// that reads back to the same double.
std::string dump(const json& value) {
  return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

[[noreturn]] void bad_request(const std::string& message) { throw RequestError(400, message); }

// The member `key` of `object`, or null when missing.
const json& member(const json& object, const char* key) {
  static const json missing;
  auto it = object.find(key);
  return it == object.end() ? missing : *it;
}

uint64_t read_nbest(const json& parameters) {
  if (parameters.is_null()) return 1;
  if (!parameters.is_object()) bad_request("\"parameters\" must be an object");
  const json& nbest = member(parameters, "nbest");
  if (nbest.is_null()) return 1;
  if (nbest.is_number_unsigned()) return nbest.get<uint64_t>();
  if (nbest.is_number_integer()) bad_request("\"nbest\" must not be negative");
  bad_request("\"nbest\" must be an integer");
}

std::vector<std::string> read_texts(const json& inputs) {
  if (inputs.is_null()) bad_request("missing \"inputs\"");
  if (!inputs.is_array() || inputs.size() != 1)
    bad_request("\"inputs\" must be an array of exactly one input");
  const json& input = inputs[0];
  if (!input.is_object()) bad_request("an input must be an object");
  const json& name = member(input, "name");
  if (name != "text") bad_request("the model has one input, named \"text\"");
  if (member(input, "datatype") != "BYTES") bad_request("input \"text\" has datatype \"BYTES\"");
  const json& shape = member(input, "shape");
  if (!shape.is_array() || shape.size() != 1 || !shape[0].is_number_unsigned())
    bad_request("input \"text\" has shape [N], N the number of texts");
  const json& data = member(input, "data");
  if (!data.is_array()) bad_request("\"data\" must be an array of strings");
  if (data.size() > kMaxTexts || shape[0].get<uint64_t>() > kMaxTexts)
    throw RequestError(413, "more than " + std::to_string(kMaxTexts) + " texts in one request");
  if (shape[0].get<uint64_t>() != data.size())
    bad_request("\"data\" holds " + std::to_string(data.size()) + " texts, shape says " +
                std::to_string(shape[0].get<uint64_t>()));
  std::vector<std::string> texts;
  texts.reserve(data.size());
  for (const json& text : data) {
    if (!text.is_string()) bad_request("\"data\" must be an array of strings");
    texts.push_back(text.get<std::string>());
    if (texts.back().find('\0') != std::string::npos)
      bad_request("text " + std::to_string(texts.size() - 1) + " contains a NUL character");
  }
  return texts;
}

}  // namespace

InferRequest parse_infer_request(const std::string& body) {
  const json request = json::parse(body, nullptr, false);
  if (request.is_discarded()) bad_request("malformed JSON");
  if (!request.is_object()) bad_request("the request must be a JSON object");
  InferRequest parsed;
  const json& id = member(request, "id");
  if (id.is_string())
    parsed.id = id.get<std::string>();
  else if (!id.is_null())
    bad_request("\"id\" must be a string");
  parsed.nbest = read_nbest(member(request, "parameters"));
  parsed.texts = read_texts(member(request, "inputs"));
  return parsed;
}

std::string infer_response(const std::string& model_name, const InferRequest& request,
                           const std::vector<std::vector<maxent::Label>>& answers, size_t k) {
  json labels = json::array(), scores = json::array();
  for (const std::vector<maxent::Label>& row : answers)
    for (const maxent::Label& label : row) {
      labels.push_back(label.name);
      scores.push_back(label.score);
    }
  const json shape = {answers.size(), k};
  json response = {{"model_name", model_name}};
  if (request.id) response["id"] = *request.id;
  response["outputs"] = {
      {{"name", "label"}, {"datatype", "BYTES"}, {"shape", shape}, {"data", std::move(labels)}},
      {{"name", "score"}, {"datatype", "FP64"}, {"shape", shape}, {"data", std::move(scores)}}};
  return dump(response);
}

std::string error_body(const std::string& message) { return dump({{"error", message}}); }

std::string server_metadata(const std::string& version) {
  return dump({{"name", "MaxEntServe"}, {"version", version}, {"extensions", json::array()}});
}

std::string model_metadata(const std::string& model_name) {
  const json rows = {-1}, table = {-1, -1};
  return dump({{"name", model_name},
               {"platform", "maxent"},
               {"inputs", {{{"name", "text"}, {"datatype", "BYTES"}, {"shape", rows}}}},
               {"outputs",
                {{{"name", "label"}, {"datatype", "BYTES"}, {"shape", table}},
                 {{"name", "score"}, {"datatype", "FP64"}, {"shape", table}}}}});
}

}  // namespace maxent_serve
