#include "serve_protocol.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <utility>

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

void read_texts(const json& inputs, InferRequest& request) {
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
  request.texts.reserve(data.size());
  for (const json& text : data) {
    if (!text.is_string()) bad_request("\"data\" must be an array of strings");
    request.decoded.push_back(text.get<std::string>());
    request.texts.push_back(request.decoded.back());
    if (request.texts.back().find('\0') != std::string::npos)
      bad_request("text " + std::to_string(request.texts.size() - 1) + " contains a NUL character");
  }
}

// The length of the well-formed UTF-8 sequence at p (lead byte >= 0x80), or 0
// when it is not one: no overlong forms, surrogates or code points past
// U+10FFFF, the bytes the JSON parser accepts in strings.
size_t utf8_sequence(const unsigned char* p, const unsigned char* end) {
  const auto in = [](unsigned char c, unsigned char low, unsigned char high) {
    return c >= low && c <= high;
  };
  const unsigned char c = p[0];
  const size_t left = static_cast<size_t>(end - p);
  if (in(c, 0xC2, 0xDF)) return left >= 2 && in(p[1], 0x80, 0xBF) ? 2 : 0;
  if (in(c, 0xE0, 0xEF)) {
    const unsigned char low = c == 0xE0 ? 0xA0 : 0x80, high = c == 0xED ? 0x9F : 0xBF;
    return left >= 3 && in(p[1], low, high) && in(p[2], 0x80, 0xBF) ? 3 : 0;
  }
  if (in(c, 0xF0, 0xF4)) {
    const unsigned char low = c == 0xF0 ? 0x90 : 0x80, high = c == 0xF4 ? 0x8F : 0xBF;
    return left >= 4 && in(p[1], low, high) && in(p[2], 0x80, 0xBF) && in(p[3], 0x80, 0xBF)
               ? 4
               : 0;
  }
  return 0;
}

bool valid_utf8(std::string_view text) {
  const auto* p = reinterpret_cast<const unsigned char*>(text.data());
  const auto* end = p + text.size();
  while (p < end) {
    if (*p < 0x80) {
      p++;
      continue;
    }
    const size_t n = utf8_sequence(p, end);
    if (n == 0) return false;
    p += n;
  }
  return true;
}

// Sixteen bytes, compared element by element through the compiler's vector
// extension (SSE2 instructions on x86-64).
typedef unsigned char Bytes16 __attribute__((vector_size(16)));

// Reads the usual request, well-formed and as the protocol wants it, in one
// pass without building a document; texts without escapes stay views into
// the body. It gives up (returns false) on anything else, malformed JSON
// included, for the document reader below to find and report what is wrong:
// whatever it accepts, that reader accepts too and reads the same way.
class FastReader {
 public:
  FastReader(const std::string& body, InferRequest& request)
      : p_(body.data()), end_(body.data() + body.size()), request_(request) {}

  bool read() {
    bool id = false, parameters = false, inputs = false;
    skip_space();
    const bool object = members([&] {
      if (key_ == "id") {
        if (std::exchange(id, true)) return false;  // repeated: the last would count
        if (null()) return true;
        bool escaped = false;
        std::string_view view;
        if (!string(view, escaped)) return false;
        request_.id = escaped ? scratch_ : std::string(view);
        return true;
      }
      if (key_ == "parameters") return !std::exchange(parameters, true) && read_parameters();
      if (key_ == "inputs") return !std::exchange(inputs, true) && read_inputs();
      return skip_value(0);
    });
    skip_space();
    return object && inputs && p_ == end_;
  }

 private:
  static constexpr int kMaxDepth = 64;

  void skip_space() {
    while (p_ < end_ && (*p_ == ' ' || *p_ == '\n' || *p_ == '\r' || *p_ == '\t')) p_++;
  }
  bool consume(char c) {
    if (p_ == end_ || *p_ != c) return false;
    p_++;
    return true;
  }
  bool literal(const char* word) {
    const size_t n = strlen(word);
    if (static_cast<size_t>(end_ - p_) < n || memcmp(p_, word, n) != 0) return false;
    p_ += n;
    return true;
  }
  bool null() { return literal("null"); }

  // The members of the object at p_, each read by on_member() with its name
  // in key_; false when on_member or the object's syntax fails.
  template <class OnMember>
  bool members(OnMember on_member) {
    if (!consume('{')) return false;
    skip_space();
    if (consume('}')) return true;
    for (;;) {
      if (!key() || !on_member()) return false;
      skip_space();
      if (consume('}')) return true;
      if (!consume(',')) return false;
      skip_space();
    }
  }

  // A member's name and the colon after it, into key_ (decoded).
  bool key() {
    bool escaped = false;
    std::string_view view;
    if (!string(view, escaped)) return false;
    key_ = escaped ? std::string_view(scratch_) : view;
    skip_space();
    if (!consume(':')) return false;
    skip_space();
    return true;
  }

  // The string at p_: `view` into the body when it holds no escape, else
  // decoded into scratch_ (`escaped` set, `view` unset).
  bool string(std::string_view& view, bool& escaped) {
    if (!consume('"')) return false;
    const char* start = p_;
    escaped = false;
    for (;;) {
      // Sixteen bytes at a time up to the first quote, backslash, control
      // character or byte past ASCII, which the byte-wise checks below take.
      while (end_ - p_ >= 16) {
        Bytes16 bytes;
        memcpy(&bytes, p_, 16);
        const auto special = (bytes == '"') | (bytes == '\\') | (bytes < 0x20) | (bytes >= 0x80);
        uint64_t halves[2];
        memcpy(halves, &special, 16);
        if ((halves[0] | halves[1]) == 0) {
          p_ += 16;
          continue;
        }
        for (int i = 0; !special[i]; i++) p_++;
        break;
      }
      if (p_ == end_) return false;
      const auto c = static_cast<unsigned char>(*p_);
      if (c == '"') break;
      if (c == '\\') {
        if (escaped)
          scratch_.append(start, p_);
        else
          scratch_.assign(start, p_);
        escaped = true;
        if (!escape()) return false;
        start = p_;
        continue;
      }
      if (c < 0x20) return false;
      if (c < 0x80) {
        p_++;
        continue;
      }
      const size_t n = utf8_sequence(reinterpret_cast<const unsigned char*>(p_),
                                     reinterpret_cast<const unsigned char*>(end_));
      if (n == 0) return false;
      p_ += n;
    }
    if (escaped)
      scratch_.append(start, p_);
    else
      view = std::string_view(start, static_cast<size_t>(p_ - start));
    p_++;
    return true;
  }

  // The escape at p_ (a backslash), appended to scratch_.
  bool escape() {
    if (end_ - p_ < 2) return false;
    const char c = p_[1];
    p_ += 2;
    switch (c) {
      case '"': case '\\': case '/': scratch_ += c; return true;
      case 'b': scratch_ += '\b'; return true;
      case 'f': scratch_ += '\f'; return true;
      case 'n': scratch_ += '\n'; return true;
      case 'r': scratch_ += '\r'; return true;
      case 't': scratch_ += '\t'; return true;
      case 'u': break;
      default: return false;
    }
    uint32_t code = 0;
    if (!hex4(code)) return false;
    if (code >= 0xDC00 && code <= 0xDFFF) return false;  // a low surrogate alone
    if (code >= 0xD800 && code <= 0xDBFF) {
      uint32_t low = 0;
      if (!literal("\\u") || !hex4(low) || low < 0xDC00 || low > 0xDFFF) return false;
      code = 0x10000 + ((code - 0xD800) << 10) + (low - 0xDC00);
    }
    if (code < 0x80) {
      scratch_ += static_cast<char>(code);
    } else if (code < 0x800) {
      scratch_ += static_cast<char>(0xC0 | (code >> 6));
      scratch_ += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      scratch_ += static_cast<char>(0xE0 | (code >> 12));
      scratch_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      scratch_ += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      scratch_ += static_cast<char>(0xF0 | (code >> 18));
      scratch_ += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      scratch_ += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      scratch_ += static_cast<char>(0x80 | (code & 0x3F));
    }
    return true;
  }

  bool hex4(uint32_t& code) {
    if (end_ - p_ < 4) return false;
    for (int i = 0; i < 4; i++) {
      const char c = *p_++;
      code <<= 4;
      if (c >= '0' && c <= '9')
        code |= static_cast<uint32_t>(c - '0');
      else if (c >= 'a' && c <= 'f')
        code |= static_cast<uint32_t>(c - 'a' + 10);
      else if (c >= 'A' && c <= 'F')
        code |= static_cast<uint32_t>(c - 'A' + 10);
      else
        return false;
    }
    return true;
  }

  // A number written as a plain unsigned integer that fits 64 bits (what
  // the JSON parser reads as one).
  bool unsigned_number(uint64_t& value) {
    const char* start = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') p_++;
    if (p_ == start || (*start == '0' && p_ - start > 1)) return false;
    if (p_ < end_ && (*p_ == '.' || *p_ == 'e' || *p_ == 'E')) return false;
    return std::from_chars(start, p_, value).ec == std::errc();
  }

  // A number: the JSON parser refuses those past the range of a double.
  bool skip_number() {
    const char* start = p_;
    consume('-');
    const char* digits = p_;
    while (p_ < end_ && *p_ >= '0' && *p_ <= '9') p_++;
    if (p_ == digits || (*digits == '0' && p_ - digits > 1)) return false;
    if (consume('.')) {
      digits = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') p_++;
      if (p_ == digits) return false;
    }
    if (consume('e') || consume('E')) {
      if (!consume('+')) consume('-');
      digits = p_;
      while (p_ < end_ && *p_ >= '0' && *p_ <= '9') p_++;
      if (p_ == digits) return false;
    }
    double value;
    return std::from_chars(start, p_, value).ec == std::errc();
  }

  // Any JSON value, checked and passed over.
  bool skip_value(int depth) {
    if (p_ == end_) return false;
    std::string_view view;
    bool escaped = false;
    switch (*p_) {
      case '"': return string(view, escaped);
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      case '[':
      case '{': break;
      default: return skip_number();
    }
    if (depth == kMaxDepth) return false;
    const bool object = *p_++ == '{';
    skip_space();
    if (consume(object ? '}' : ']')) return true;
    for (;;) {
      if (object && !key()) return false;
      if (!skip_value(depth + 1)) return false;
      skip_space();
      if (consume(object ? '}' : ']')) return true;
      if (!consume(',')) return false;
      skip_space();
    }
  }

  // "parameters": null, or an object whose "nbest" is null or unsigned.
  bool read_parameters() {
    if (null()) return true;
    bool nbest = false;
    return members([&] {
      if (key_ != "nbest") return skip_value(1);
      if (std::exchange(nbest, true)) return false;
      return null() || unsigned_number(request_.nbest);
    });
  }

  // "inputs": [{"name": "text", "datatype": "BYTES", "shape": [N], "data": [N strings]}],
  // the input's members in any order, others passed over.
  bool read_inputs() {
    if (!consume('[')) return false;
    skip_space();
    bool name = false, datatype = false, shape = false, data = false;
    uint64_t rows = 0;
    const bool object = members([&] {
      if (key_ == "name" || key_ == "datatype") {
        bool& seen = key_ == "name" ? name : datatype;
        const char* want = key_ == "name" ? "text" : "BYTES";
        std::string_view view;
        bool escaped = false;
        if (std::exchange(seen, true) || !string(view, escaped)) return false;
        return (escaped ? std::string_view(scratch_) : view) == want;
      }
      if (key_ == "shape") {
        if (std::exchange(shape, true) || !consume('[')) return false;
        skip_space();
        if (!unsigned_number(rows)) return false;
        skip_space();
        return consume(']');
      }
      if (key_ == "data") return !std::exchange(data, true) && read_data();
      return skip_value(2);
    });
    skip_space();
    return object && consume(']') && name && datatype && shape && data &&
           rows == request_.texts.size();
  }

  bool read_data() {
    std::vector<std::string_view>& texts = request_.texts;
    if (!consume('[')) return false;
    skip_space();
    if (consume(']')) return true;
    for (;;) {
      if (texts.size() == kMaxTexts) return false;
      std::string_view view;
      bool escaped = false;
      if (!string(view, escaped)) return false;
      if (escaped) {
        if (scratch_.find('\0') != std::string::npos) return false;
        request_.decoded.push_back(scratch_);
        view = request_.decoded.back();
      }
      texts.push_back(view);
      skip_space();
      if (consume(']')) return true;
      if (!consume(',')) return false;
      skip_space();
    }
  }

  const char* p_;
  const char* const end_;
  InferRequest& request_;
  std::string_view key_;
  std::string scratch_;  // the last string read that held escapes
};

// `text` as a JSON string, escaped as the document writer does.
void append_string(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  bool ascii = true;
  for (const char c : text) ascii &= static_cast<unsigned char>(c) < 0x80;
  if (!ascii && !valid_utf8(text)) {  // the writer's replacement of bad bytes
    out += dump(std::string(text));
    return;
  }
  out += '"';
  const char* run = text.data();  // the start of the bytes not yet copied
  for (const char& c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && c != '"' && c != '\\') continue;
    out.append(run, static_cast<size_t>(&c - run));
    run = &c + 1;
    out += '\\';
    switch (c) {
      case '"': out += '"'; break;
      case '\\': out += '\\'; break;
      case '\b': out += 'b'; break;
      case '\f': out += 'f'; break;
      case '\n': out += 'n'; break;
      case '\r': out += 'r'; break;
      case '\t': out += 't'; break;
      default:
        out += "u00";
        out += kHex[byte >> 4];
        out += kHex[byte & 0xF];
    }
  }
  out.append(run, static_cast<size_t>(text.data() + text.size() - run));
  out += '"';
}

// `value` in the shortest form that reads back to it, with ".0" after a
// whole number as the document writer has it; null for NaN and infinities.
void append_double(std::string& out, double value) {
  if (!std::isfinite(value)) {
    out += "null";
    return;
  }
  char buffer[32];
  const char* end = std::to_chars(buffer, buffer + sizeof buffer, value).ptr;
  const std::string_view written(buffer, static_cast<size_t>(end - buffer));
  out += written;
  if (written.find_first_of(".e") == std::string_view::npos) out += ".0";
}

}  // namespace

InferRequest parse_infer_request(const std::string& body) {
  {
    InferRequest parsed;
    if (FastReader(body, parsed).read()) return parsed;
  }
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
  read_texts(member(request, "inputs"), parsed);
  return parsed;
}

std::string infer_response(const std::string& model_name, const InferRequest& request,
                           const std::vector<std::string>& json_labels,
                           const std::vector<maxent::RankedClass>& answers, size_t k) {
  // Keys in the order of the document writer, which sorts them.
  const std::string shape =
      "[" + std::to_string(request.texts.size()) + "," + std::to_string(k) + "]";
  size_t names = 0;
  for (const maxent::RankedClass& answer : answers) names += json_labels[answer.index].size() + 1;
  std::string out;
  out.reserve(200 + model_name.size() + (request.id ? request.id->size() : 0) + names +
              answers.size() * 26);
  out += '{';
  if (request.id) {
    out += "\"id\":";
    append_string(out, *request.id);
    out += ',';
  }
  out += "\"model_name\":";
  append_string(out, model_name);
  out += ",\"outputs\":[{\"data\":[";
  for (const maxent::RankedClass& answer : answers) {
    out += json_labels[answer.index];
    out += ',';
  }
  if (out.back() == ',') out.pop_back();
  out += "],\"datatype\":\"BYTES\",\"name\":\"label\",\"shape\":" + shape + "},{\"data\":[";
  for (const maxent::RankedClass& answer : answers) {
    append_double(out, answer.score);
    out += ',';
  }
  if (out.back() == ',') out.pop_back();
  out += "],\"datatype\":\"FP64\",\"name\":\"score\",\"shape\":" + shape + "}]}";
  return out;
}

std::string json_string(std::string_view text) {
  std::string out;
  append_string(out, text);
  return out;
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
