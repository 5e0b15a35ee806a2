// Decoder input lines against three fixed small models (fuzz/models: linear
// classes scored one by one, twelve linear classes scored through the
// inverted index, kernel classes over support vectors) and their dictionary,
// through the embedding interface. Every line of the input is classified on
// its own and all of them in one batch on two threads: the scores are
// probabilities, best first, and both ways give the same answers.
#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "fuzz_support.h"
#include "maxent/decoder.h"

namespace {

using Answers = std::vector<std::vector<maxent::Label>>;

// Classification never fails: an exception ends the process.
void decode(const maxent::Model& model, const std::vector<std::string>& lines) noexcept {
  const int nbest = 3;
  Answers single;
  for (const std::string& line : lines) single.push_back(model.classify(line, nbest));
  const Answers batch = model.classify_batch(lines, nbest, 2);
  for (size_t i = 0; i < lines.size(); i++) {
    for (size_t k = 0; k < single[i].size(); k++) {
      const maxent::Label& label = single[i][k];
      if (!(label.score >= 0 && label.score <= 1) ||
          (k > 0 && label.score > single[i][k - 1].score) || batch[i].size() != single[i].size() ||
          batch[i][k].name != label.name || batch[i][k].score != label.score) {
        fprintf(stderr, "fuzz: answer %zu of line %zu out of order or not as batched\n", k, i);
        abort();
      }
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Loaded once, as by the decoder; a model that fails to load ends the process.
  static const auto models = [] {
    std::vector<std::shared_ptr<const maxent::Model>> loaded;
    for (const char* name : {"linear", "index", "kernel"})
      loaded.push_back(maxent::Model::load(std::string(FUZZ_MODELS_DIR "/") + name,
                                           FUZZ_MODELS_DIR "/dict.txt"));
    return loaded;
  }();
  // As fgets hands them over: lines with their newline, the last one
  // possibly without.
  const std::string text = fuzz::as_text(data, size);
  std::vector<std::string> lines;
  for (size_t pos = 0, eol; pos < text.size(); pos = eol + 1) {
    eol = std::min(text.find('\n', pos), text.size());
    lines.push_back(text.substr(pos, eol + 1 - pos));
  }
  fuzz::run([&] {
    for (const auto& model : models) decode(*model, lines);
  });
  return 0;
}
