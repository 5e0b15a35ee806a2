#include "ZDdata_parms.h"

#include <sys/stat.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "ZDdata_kernel.h"

namespace {

const char kPattern[] = "%s=";

const char* const kKernelTypes[] = {"poly", "exp", "linear", "quadratic"};
const char* const kDataTypes[] = {"bsparse", "sparse", "continuous", "bstump"};
const char* const kVecTypes[] = {"weight", "stump", "supvec", "restrict"};

// Position of `text` in `names`, or -1.
template <int N>
int lookup(const char* const (&names)[N], const char* text) {
  for (int i = 0; i < N; i++)
    if (strcmp(names[i], text) == 0) return i;
  return -1;
}

template <int N>
void add_descriptions(Mvec<ParmDescription>& out, const ParmDescription (&d)[N]) {
  for (const ParmDescription& x : d) out.append(x);
}

const ParmDescription kClassifierDescr[] = {
    {"trivial", "constant output, no kernel", nullptr},
    {"weights", "output multiply factor, one per kernel", nullptr},
    {"sigmoid", "output mapping mode", nullptr},
    {"bias", "output add factor (1e37: not given)", nullptr},
    {"binfile", "binary file of the entries of the classifier's vectors", nullptr},
};

const ParmDescription kClassifierIODescr[] = {
    {"kernels", "names of the kernels the classifier uses", nullptr},
    {"vecfile", "names of the classifier's vector files", nullptr},
};

const ParmDescription kKernelDescr[] = {
    {"type", "kernel function: poly, exp, linear or quadratic", nullptr},
    {"parms", "file name", nullptr},
    {"learner", "method name", nullptr},
    {"fields", "names of the data fields the kernel combines", nullptr},
    {"weights", "one weight per field name", nullptr},
    {"weights-sum-one", "rescale the field weights to sum up to one", nullptr},
    {"norm", "normalise the joined vector to unit length", nullptr},
    {"pow", "degree of the polynomial kernel", nullptr},
    {"b", "additive term", nullptr},
    {"a", "multiplicative term", nullptr},
    {"restrict", "data field of the restriction test", nullptr},
};

const ParmDescription kFieldDescr[] = {
    {"protofile", "file of the field's support-vector data", nullptr},
    {"file", "input data file of the field", nullptr},
    {"transpose", "the field takes part in the inverted index", nullptr},
    {"norm", "normalise samples to unit length", nullptr},
    {"zlib", "data files are gzip-compressed", nullptr},
    {"type", "data type: bsparse, sparse, continuous or bstump", nullptr},
    {"stumps", "number of levels of each stump position", nullptr},
    {"nofirst", "integer option of the data reading", nullptr},
};

// Bytes of one binary vector record: little-endian int32 index, float32 value.
const int kRecordSize = 8;
static_assert(sizeof(ElemValIdx) == kRecordSize, "records are decoded in place");

uint32_t le32(const unsigned char* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Whole records between the stream's position and the end of its file, or
// -1 when the stream is not a regular file.
long long records_left(FILE* f) {
  struct stat st;
  if (fstat(fileno(f), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  off_t pos = ftello(f);
  if (pos < 0) return -1;
  return pos >= st.st_size ? 0 : (st.st_size - pos) / kRecordSize;
}

bool same_refer_name(const string_t& refer, const char* name) {
  if (!name || !refer.data) return !name && !refer.data;
  return strcmp(refer.data, name) == 0;
}

}  // namespace

// ---------------------------------------------------------- ClassifierParmList

ClassifierParmList::ClassifierParmList()
    : ParmList("classifier", kPattern, "Parameters to remap the output, in [.parm] files"),
      trivial(false, "trivial", PARM_NECESSARY_OUTPUT),
      weights(0.0, "weights", PARM_NECESSARY_OUTPUT),
      bias(1e37, "bias", PARM_NECESSARY_OUTPUT),
      sigmoid(1, "sigmoid", PARM_BASIC_CMDLINE),
      binfile("", "binfile", PARM_LIBRARY_NAME) {}

void ClassifierParmList::set_nker(int n) {
  if (weights.values.size() == n) return;
  weights.values.set_nitems(n);
  for (double& w : weights.values) w = 0.0;
}

bool ClassifierParmList::init_own(const KeyValue& pair) {
  return trivial.init(pair) || weights.init(pair) || bias.init(pair) || sigmoid.init(pair) ||
         binfile.init(pair);
}

void ClassifierParmList::init_parm(const KeyValue& pair) {
  if (!init_own(pair)) warn_no_parm(pair);
}

void ClassifierParmList::store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  static const ClassifierParmList fresh;
  store_parm(trivial, fresh.trivial, list, descriptions);
  store_parm(weights, fresh.weights, list, descriptions);
  store_parm(sigmoid, fresh.sigmoid, list, descriptions);
  store_parm(bias, fresh.bias, list, descriptions);
  store_parm(binfile, fresh.binfile, list, descriptions);
}

void ClassifierParmList::build_description(Mvec<ParmDescription>& descriptions) const {
  add_descriptions(descriptions, kClassifierDescr);
}

// -------------------------------------------------------- ClassifierParmListIO

ClassifierParmListIO::ClassifierParmListIO()
    : kernels(string_t(), "kernels", PARM_NECESSARY_OUTPUT),
      vecfile(string_t(), "vecfile", PARM_LIBRARY_NAME) {}

ClassifierParmListIO::ClassifierParmListIO(const ClassifierParmList& list)
    : ClassifierParmList(list),
      kernels(string_t(), "kernels", PARM_NECESSARY_OUTPUT),
      vecfile(string_t(), "vecfile", PARM_LIBRARY_NAME) {}

void ClassifierParmListIO::init_parm(const KeyValue& pair) {
  if (!kernels.init(pair) && !vecfile.init(pair) && !init_own(pair)) warn_no_parm(pair);
}

void ClassifierParmListIO::store(AnyParmList& list,
                                 const Mvec<ParmDescription>* descriptions) const {
  static const ClassifierParmListIO fresh;
  store_parm(kernels, fresh.kernels, list, descriptions);
  store_parm(vecfile, fresh.vecfile, list, descriptions);
  ClassifierParmList::store(list, descriptions);
}

void ClassifierParmListIO::build_description(Mvec<ParmDescription>& descriptions) const {
  add_descriptions(descriptions, kClassifierIODescr);
  ClassifierParmList::build_description(descriptions);
}

// ----------------------------------------------------------------- KerParmList

KerParmList::KerParmList()
    : ParmList("kernel", kPattern,
               "Parameterization of the kernel and the cost (in .parm files, at least one set). "
               "Through kernel and cost, they determine exactly the function to optimize."),
      type("poly", "type", PARM_BASIC_INPUT),
      pow(1, "pow", PARM_EXPERT_INPUT),
      b(1.0, "b", PARM_EXPERT_INPUT),
      a(1.0, "a", PARM_EXPERT_INPUT),
      norm(false, "norm", PARM_EXPERT_INPUT),
      parms("", "parms", PARM_FILE_NAME),
      learner("svm", "learner", PARM_LIBRARY_NAME),
      fields(string_t(), "fields", PARM_BASIC_INPUT),
      weights(0.0, "weights", PARM_BASIC_INPUT),
      weights_sum_one(false, "weights-sum-one", PARM_EXPERT_INPUT),
      restrict_field(-1, "restrict", PARM_BASIC_INPUT) {}

int KerParmList::get_kernel_type() const {
  int code = lookup(kKernelTypes, type.value.c_str());
  if (code < 0) {
    string_t text;
    ZDEvent::user_input_err("KerParmList::get_kernel_type", "unknown kernel type [%s]\n%s",
                            type.value.c_str(), dump(text));
  }
  return code;
}

void KerParmList::special_prepro() {
  if (get_kernel_type() == KT_POLY && pow.value == 1) {
    if (a.value != 1.0)
      ZDEvent::warn("You should avoid a!=1 in linear kernels: tune c and d instead\n");
    type.value.init("linear");
  }
  if (get_kernel_type() == KT_POLY && pow.value == 2) {
    if (a.value != 1.0)
      ZDEvent::warn("You should avoid a!=1 in quadratic kernels: tune c and d instead\n");
    type.value.init("quadratic");
  }
}

void KerParmList::init_parm(const KeyValue& pair) {
  if (!type.init(pair) && !pow.init(pair) && !b.init(pair) && !a.init(pair) && !norm.init(pair) &&
      !parms.init(pair) && !learner.init(pair) && !fields.init(pair) && !weights.init(pair) &&
      !weights_sum_one.init(pair) && !restrict_field.init(pair))
    warn_no_parm(pair);
}

void KerParmList::store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  static const KerParmList fresh;
  store_parm(type, fresh.type, list, descriptions);
  store_parm(parms, fresh.parms, list, descriptions);
  store_parm(learner, fresh.learner, list, descriptions);
  store_parm(fields, fresh.fields, list, descriptions);
  store_parm(weights, fresh.weights, list, descriptions);
  store_parm(weights_sum_one, fresh.weights_sum_one, list, descriptions);
  store_parm(norm, fresh.norm, list, descriptions);
  store_parm(pow, fresh.pow, list, descriptions);
  store_parm(b, fresh.b, list, descriptions);
  store_parm(a, fresh.a, list, descriptions);
  store_parm(restrict_field, fresh.restrict_field, list, descriptions);
}

void KerParmList::build_description(Mvec<ParmDescription>& descriptions) const {
  add_descriptions(descriptions, kKernelDescr);
}

// --------------------------------------------------------------- FieldParmList

int FieldParmList::protofile_count = 0;

FieldParmList::FieldParmList()
    : ParmList("field", kPattern,
               "How to read each data field: these parameters describe each field(in .parm "
               "files, one set per field)"),
      file("", "file", PARM_BASIC_INPUT),
      protofile("", "protofile", PARM_NECESSARY_OUTPUT),
      zlib(true, "zlib", PARM_BASIC_INPUT),
      norm(false, "norm", PARM_BASIC_INPUT),
      transpose(true, "transpose", PARM_BASIC_INPUT),
      type("bsparse", "type", PARM_BASIC_INPUT),
      nofirst(0, "nofirst", PARM_RARE_INPUT),
      stumps(0, "stumps", PARM_TRACE_OUTPUT) {}

int FieldParmList::get_datatype() const {
  int code = lookup(kDataTypes, type.value.c_str());
  if (code < 0)
    ZDEvent::user_input_err("FieldParmList::get_datatype", "unknown prepro type [%s]",
                            type.value.c_str());
  return code;
}

void FieldParmList::special_prepro() {
  datatype = get_datatype();
  handler.datatype = datatype;
  handler.update_stump(stumps.values);
  if (protofile.value.length() == 0) {
    ZDString::stprintf(protofile.value, "%s%d%s", "data", protofile_count, zlib.value ? ".gz" : "");
    protofile_count++;
  }
}

void FieldParmList::normalize_samp(TableIdx& samp) const {
  double d = samp.dot_prod(samp);
  if (d < 1e-10) d = 1e-10;
  if (norm.value) {
    samp.mult = static_cast<float>(1.0 / sqrt(d));
    samp.sqnorm = 1.0f;
  } else {
    samp.mult = 1.0f;
    samp.sqnorm = static_cast<float>(d);
  }
}

void FieldParmList::init_parm(const KeyValue& pair) {
  if (!file.init(pair) && !protofile.init(pair) && !zlib.init(pair) && !norm.init(pair) &&
      !transpose.init(pair) && !type.init(pair) && !nofirst.init(pair) && !stumps.init(pair))
    warn_no_parm(pair);
}

void FieldParmList::store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  static const FieldParmList fresh;
  store_parm(protofile, fresh.protofile, list, descriptions);
  store_parm(file, fresh.file, list, descriptions);
  store_parm(transpose, fresh.transpose, list, descriptions);
  store_parm(norm, fresh.norm, list, descriptions);
  store_parm(zlib, fresh.zlib, list, descriptions);
  store_parm(type, fresh.type, list, descriptions);
  store_parm(stumps, fresh.stumps, list, descriptions);
  store_parm(nofirst, fresh.nofirst, list, descriptions);
}

void FieldParmList::build_description(Mvec<ParmDescription>& descriptions) const {
  add_descriptions(descriptions, kFieldDescr);
}

// ----------------------------------------------------------------- VecParmList

VecParmList::VecParmList()
    : ParmList("vector", kPattern, "Description of a sparse vector"),
      maxindex(0, "maxindex", PARM_BASIC_INPUT),
      type("weight", "type", PARM_BASIC_INPUT),
      field(0, "field", PARM_BASIC_INPUT),
      binsize(0, "binsize", PARM_EXPERT_INPUT) {}

int VecParmList::get_vec_type() const {
  int code = lookup(kVecTypes, type.value.c_str());
  if (code < 0) {
    string_t text;
    ZDEvent::user_input_err("VecParmList::get_vec_type", "unknown vec type [%s]\n%s",
                            type.value.c_str(), dump(text));
  }
  return code;
}

void VecParmList::init_parm(const KeyValue& pair) {
  if (maxindex.init(pair) || field.init(pair) || type.init(pair) || binsize.init(pair)) return;
  const char* key = pair.key.c_str();
  char* end = nullptr;
  errno = 0;
  long index = strtol(key, &end, 0);
  if (end == key) {
    warn_no_parm(pair);
    return;
  }
  if (errno == ERANGE || index < INT_MIN || index > INT_MAX)
    ZDEvent::data_input_err("VecParmList::init_parm", "index %s of vector %s is out of range\n",
                            key, refer_name.c_str());
  ElemValIdx e;
  e.index = static_cast<int>(index);
  e.value = static_cast<float>(ZDString::atof(pair.value.c_str()));
  values.append(e);
}

int VecParmList::load_bin_data(ZDIO& io) {
  const char* label = "VecParmList::load_bin_data";
  const int n = binsize.value;
  if (n < 0)
    ZDEvent::user_input_err(label, "negative binsize %d in vector %s\n", n, refer_name.c_str());
  if (!io.stream)
    ZDEvent::memory_or_implement_err(label, "binary vector file of vector %s is not open\n",
                                     refer_name.c_str());
  auto short_file = [&](long long found) {
    ZDEvent::data_input_err(
        label, "binary vector file [%s] ends after %lld of the %d records of vector %s\n",
        io.path.c_str(), found, n, refer_name.c_str());
  };
  // Checked before allocating, so that a huge binsize never allocates.
  long long left = records_left(io.stream);
  if (left >= 0 && left < n) short_file(left);
  values.set_nitems(n);
  size_t got = n ? fread(values.data, kRecordSize, static_cast<size_t>(n), io.stream) : 0;
  if (got < static_cast<size_t>(n)) short_file(static_cast<long long>(got));
  unsigned char* bytes = reinterpret_cast<unsigned char*>(values.data);
  for (int i = 0; i < n; i++) {
    const unsigned char* rec = bytes + static_cast<size_t>(i) * kRecordSize;
    uint32_t index_bits = le32(rec);
    uint32_t value_bits = le32(rec + 4);
    memcpy(&values[i].index, &index_bits, 4);
    memcpy(&values[i].value, &value_bits, 4);
  }
  return n;
}

void VecParmList::store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  static const VecParmList fresh;
  store_parm(maxindex, fresh.maxindex, list, descriptions);
  store_parm(binsize, fresh.binsize, list, descriptions);
  store_parm(type, fresh.type, list, descriptions);
  store_parm(field, fresh.field, list, descriptions);
}

// --------------------------------------------------------------- ModelParmCont

ModelParmCont::ModelParmCont() = default;
ModelParmCont::ModelParmCont(const ModelParmCont& other) = default;
ModelParmCont& ModelParmCont::operator=(const ModelParmCont& other) = default;
ModelParmCont::~ModelParmCont() = default;

void ModelParmCont::init_parameters(const AnyParmListTable& table) {
  // Fields first: generated protofile names follow the field blocks' order,
  // and every kernel's field check sees all fields.
  table.fetch_typed_parms(field_parms);
  table.fetch_typed_parms(kernels);
  for (KernelParmList& k : kernels) k.check_field_weights(field_parms);
}

// ------------------------------------------------------------------ steal_parm

bool steal_parm(AnyParmListTable& table, ClassifierParmListIO& io, const char* name) {
  for (AnyParmList& block : table.blocks) {
    if (!block.type || strcmp(block.type, io.type_name) != 0) continue;
    if (!same_refer_name(block.refer_name, name)) continue;
    io.load(block);
    block.clear();
    return true;
  }
  return false;
}
