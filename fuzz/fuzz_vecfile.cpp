// Vector files and binary vector files, read by a classifier of a fixed
// model around them: input byte 0 chooses a linear or a kernel model and
// whether the classifier names a binary file; the rest holds the vector file
// and, after a line "#@ w.bin", the binary file. The loaded model then scores
// a few samples. Beforehand, the reader of plain vector files and the
// parameter-file parser read the same vector file: whenever the reader takes
// it, both must give the same lists, traces and errors.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ZDdata_vecfile.h"
#include "Zanda_api.h"
#include "fuzz_support.h"

namespace {

// Everything a read left: "declined" when `read` says so, its lists field
// by field and bit for bit, what it traced and warned at verbose 3, and its
// error.
template <class Read>
std::string outcome(Read read) {
  std::string text;
  auto add = [&](const void* p, size_t n) { text.append(static_cast<const char*>(p), n); };
  Mvec<VecParmList> lists;
  FILE* const tracefile = ZDEvent::tracefile;
  FILE* const warnfile = ZDEvent::warnfile;
  const int verbose = ZDEvent::verbose;
  FILE* printed = tmpfile();
  if (!printed) abort();
  ZDEvent::tracefile = ZDEvent::warnfile = printed;
  ZDEvent::verbose = 3;
  std::string error;
  try {
    if (!read(lists)) text = "declined";
  } catch (const ZDError& e) {
    error = e.what();
  }
  ZDEvent::tracefile = tracefile;
  ZDEvent::warnfile = warnfile;
  ZDEvent::verbose = verbose;
  if (error.empty())
    for (const VecParmList& v : lists) {
      for (const string_t* s : {&v.refer_name, &v.type.value}) add(s->c_str(), s->length() + 1);
      for (int n : {v.field.value, v.maxindex.value, v.binsize.value}) add(&n, sizeof n);
      if (!v.values.empty())
        add(v.values.data, sizeof(ElemValIdx) * static_cast<size_t>(v.values.size()));
      text += '|';
    }
  rewind(printed);
  for (int c; (c = getc(printed)) != EOF;) text += static_cast<char>(c);
  fclose(printed);
  return text + error;
}

void compare_readers(const std::string& path) {
  ParmLoadState load;
  const std::string fast = outcome(
      [&](Mvec<VecParmList>& out) { return read_plain_vector_file(path.c_str(), out, &load); });
  if (fast == "declined") return;  // and so it kept nothing and printed nothing
  const std::string parsed = outcome([&](Mvec<VecParmList>& out) {
    AnyParmListTable table;
    table.load_parameter_table(path.c_str());
    table.fetch_typed_parms(out);
    return true;
  });
  if (fast != parsed) {
    fprintf(stderr, "fuzz: the plain reader and the parser differ on %s\n", path.c_str());
    abort();
  }
}

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
    std::string vector_file;
    for (const auto& file : fuzz::split_sections(data + 1, size - 1, "v.txt")) {
      const std::string path = fuzz::put_file(file.first, file.second);
      if (file.first == "v.txt") vector_file = path;
    }
    compare_readers(vector_file);
    ZandaModelAPI model;
    model.load_mdl_parms(fuzz::scratch_dir().c_str());
    score(model);
  });
  return 0;
}
