// Vector files and binary vector files, read by a classifier of a fixed
// model around them: input byte 0 chooses a linear or a kernel model and
// whether the classifier names a binary file; the rest holds the vector file
// and, after a line "#@ w.bin", the binary file. The loaded model then scores
// a few samples.
#include <string>

#include "Zanda_api.h"
#include "fuzz_support.h"

namespace {

const char kLinear[] =
    "field f0 {\n  zlib = false\n}\n"
    "kernel k0 {\n  type = linear\n  fields = { f0 }\n  weights = { 1 }\n}\n";
const char kKernel[] =
    "field f0 {\n  zlib = false\n  protofile = data\n  norm = true\n}\n"
    "kernel k0 {\n  type = poly\n  pow = 3\n  b = 0.5\n  fields = { f0 }\n  weights = { 1 }\n}\n";
const char kSupportVectors[] = " 1 2 3\n 2 5\n 7 8 9\n 1\n";

void score(const ZandaModelAPI& model) {
  int n = model.get_nfiers();
  std::vector<double> outs(n > 0 ? n : 1);
  std::vector<int> ranks(outs.size());
  int samples[][4] = {{1, 2, 3, 0}, {7, 9, 9, 1}, {5, 100, 3, 4}};
  for (auto& s : samples) model.test_samp(s, 4, outs.data(), ranks.data());
  model.test_samp(static_cast<int*>(nullptr), 0, outs.data(), ranks.data());
  for (int i = 0; i < n; i++) model.classifier_name(ranks[i]);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  fuzz::run([&] {
    std::string parm = mode & 1 ? kKernel : kLinear;
    parm += "classifier c0 {\n  kernels = { k0 }\n  vecfile = { v.txt }\n  weights = { 1 }\n";
    parm += "  bias = -0.5\n";
    if (mode & 2) parm += "  binfile = w.bin\n";
    parm += "}\n";
    fuzz::put_file("zanda.parm", parm);
    if (mode & 1) fuzz::put_file("data", kSupportVectors);
    for (const auto& file : fuzz::split_sections(data + 1, size - 1, "v.txt"))
      fuzz::put_file(file.first, file.second);
    ZandaModelAPI model;
    model.load_mdl_parms(fuzz::scratch_dir().c_str());
    score(model);
  });
  return 0;
}
