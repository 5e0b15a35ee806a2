// Whole model folders through the embedding interface: the input packs the
// files of a model folder (sections "#@ name", see fuzz_support.h; the first
// one is zanda.parm; a name ending in ".gz" is written gzip-compressed, one
// ending in "/" is made a folder). A fixed dictionary, which a section
// "dict.txt" replaces, maps the words of a few lines to features from 0 to
// 1000; the loaded model classifies them.
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "maxent/decoder.h"

namespace {

const size_t kMaxFiles = 16;
const char kDictionary[] =
    "0 a_1\n1 b_2\n2 c_3\n3 a_1 b_2\n5 b_2 c_3\n8 a_1 b_2 c_3\n13 d_1\n21 d_2\n34 e_3\n"
    "100 x_4\n1000 c_3 x_4\n7 d_2 e_3\n";

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

// Classification never fails: an exception ends the process.
void classify(const maxent::Model& model) noexcept {
  const int all = static_cast<int>(model.classes().size());
  for (const char* line : {"a b c x", "d d e", "", "b c x y\n"}) {
    model.classify(line, all);
    model.classify(line, 1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run([&] {
    const std::string dictionary = fuzz::put_file("dict.txt", kDictionary);
    auto files = fuzz::split_sections(data, size, "zanda.parm");
    if (files.size() > kMaxFiles) files.resize(kMaxFiles);
    for (const auto& file : files)
      fuzz::put_file(file.first, file.second, ends_with(file.first, ".gz"));
    classify(*maxent::Model::load(fuzz::scratch_dir(), dictionary));
  });
  return 0;
}
