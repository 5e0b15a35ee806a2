// Decoder input lines against three fixed small models (fuzz/models: linear
// classes scored one by one, twelve linear classes scored through the
// inverted index, kernel classes over support vectors) and their dictionary.
// Every line of the input goes the decoder's way (marker test, n-gram
// features, scoring, ranking, output line) and is also scored as a text line
// of feature indices.
#include <cstring>
#include <string>
#include <vector>

#include "Zanda_api.h"
#include "fuzz_support.h"
#include "loadfeats.h"

namespace {

const char* const kModels[] = {"linear", "index", "kernel"};
const int kModelCount = 3;

struct Fixture {
  ZandaModelAPI* models[kModelCount];
  DSTHashTable dict = nullptr;
};

// Loaded once; lives until exit, as in the decoder.
const Fixture& fixture() {
  static Fixture* f = [] {
    auto* made = new Fixture;
    bool ok = fuzz::run([&] {
      std::string dir = FUZZ_MODELS_DIR;
      made->dict = LoadFeats((dir + "/dict.txt").c_str(), 0);
      for (int m = 0; m < kModelCount; m++) {
        made->models[m] = new ZandaModelAPI;
        made->models[m]->load_mdl_parms((dir + "/" + kModels[m]).c_str());
      }
    });
    if (!ok) abort();
    return made;
  }();
  return *f;
}

void decode_line(const Fixture& f, const char* line) {
  if (strstr(line, "...EOS...")) return;
  static std::vector<int> features(999999);
  int n = GenerateUptoTrigrams(line, f.dict, features.data(), static_cast<int>(features.size()));
  for (const ZandaModelAPI* model : f.models) {
    int nfiers = model->get_nfiers();
    std::vector<double> outs(nfiers > 0 ? nfiers : 1);
    std::vector<int> ranks(outs.size());
    std::vector<int> indices(features.begin(), features.begin() + n);
    model->test_samp(indices.data(), n, outs.data(), ranks.data());
    char out[256];
    for (int i = 0; i < 3 && i < nfiers; i++)
      snprintf(out, sizeof out, "%s:%g ", model->classifier_name(ranks[i]), outs[i]);
    model->test_samp(line, outs.data(), ranks.data());
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Fixture& f = fixture();
  std::string text = fuzz::as_text(data, size);
  fuzz::run([&] {
    // As fgets hands them over: lines with their newline, the last one
    // possibly without; a NUL ends what the decoder sees of a line.
    size_t pos = 0;
    while (pos < text.size()) {
      size_t eol = text.find('\n', pos);
      size_t end = eol == std::string::npos ? text.size() : eol + 1;
      std::string line = text.substr(pos, end - pos);
      decode_line(f, line.c_str());
      pos = end;
    }
  });
  return 0;
}
