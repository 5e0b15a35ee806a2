// Whole model directories: the input packs the files of a model folder
// (sections "#@ name", see fuzz_support.h; the first one is zanda.parm; a
// name ending in ".gz" is written gzip-compressed, one ending in "/" is made
// a folder). The facade loads the folder and scores a few samples, given as
// indices and as text lines.
#include <string>
#include <vector>

#include "Zanda_api.h"
#include "fuzz_support.h"

namespace {

const size_t kMaxFiles = 16;

bool ends_with(const std::string& s, const char* tail) {
  size_t n = strlen(tail);
  return s.size() >= n && s.compare(s.size() - n, n, tail) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  fuzz::run([&] {
    auto files = fuzz::split_sections(data, size, "zanda.parm");
    if (files.size() > kMaxFiles) files.resize(kMaxFiles);
    for (const auto& file : files)
      fuzz::put_file(file.first, file.second, ends_with(file.first, ".gz"));
    ZandaModelAPI model;
    model.load_mdl_parms(fuzz::scratch_dir().c_str());
    int n = model.get_nfiers();
    std::vector<double> outs(n > 0 ? n : 1);
    std::vector<int> ranks(outs.size());
    int samples[][5] = {{0, 1, 2, 3, 4}, {5, 8, 13, 21, 34}, {7, 7, 2, 100, 1000}};
    for (auto& s : samples) model.test_samp(s, 5, outs.data(), ranks.data());
    model.test_samp(static_cast<int*>(nullptr), 0, outs.data(), nullptr);
    model.test_samp("1 2 3 5 8\n", outs.data(), ranks.data());
    for (int i = 0; i < n; i++) model.classifier_name(ranks[i]);
  });
  return 0;
}
