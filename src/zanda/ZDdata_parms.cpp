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

template <class S, class V>
void ClassifierParmList::declare(S& self, V&& visit) {
  visit(self.trivial, false, {"trivial", PARM_NECESSARY_OUTPUT, "constant output, no kernel"});
  visit(self.weights, 0.0,
        {"weights", PARM_NECESSARY_OUTPUT, "output multiply factor, one per kernel"});
  visit(self.sigmoid, 1, {"sigmoid", PARM_BASIC_CMDLINE, "output mapping mode"});
  visit(self.bias, 1e37, {"bias", PARM_NECESSARY_OUTPUT, "output add factor (1e37: not given)"});
  visit(self.binfile, "",
        {"binfile", PARM_LIBRARY_NAME, "binary file of the entries of the classifier's vectors"});
}

ClassifierParmList::ClassifierParmList()
    : DeclaredParmList("classifier", kPattern, "Parameters to remap the output, in [.parm] files") {
  set_defaults();
}

void ClassifierParmList::set_nker(int n) {
  if (weights.values.size() == n) return;
  weights.values.set_nitems(n);
  for (double& w : weights.values) w = 0.0;
}

// -------------------------------------------------------- ClassifierParmListIO

template <class S, class V>
void ClassifierParmListIO::declare(S& self, V&& visit) {
  visit(self.kernels, string_t(),
        {"kernels", PARM_NECESSARY_OUTPUT, "names of the kernels the classifier uses"});
  visit(self.vecfile, string_t(),
        {"vecfile", PARM_LIBRARY_NAME, "names of the classifier's vector files"});
}

ClassifierParmListIO::ClassifierParmListIO() {
  set_defaults();
}

ClassifierParmListIO::ClassifierParmListIO(const ClassifierParmList& list)
    : DeclaredParmList(list) {
  set_defaults();
}

// ----------------------------------------------------------------- KerParmList

template <class S, class V>
void KerParmList::declare(S& self, V&& visit) {
  visit(self.type, "poly",
        {"type", PARM_BASIC_INPUT, "kernel function: poly, exp, linear or quadratic"});
  visit(self.parms, "", {"parms", PARM_FILE_NAME, "file name"});
  visit(self.learner, "svm", {"learner", PARM_LIBRARY_NAME, "method name"});
  visit(self.fields, string_t(),
        {"fields", PARM_BASIC_INPUT, "names of the data fields the kernel combines"});
  visit(self.weights, 0.0, {"weights", PARM_BASIC_INPUT, "one weight per field name"});
  visit(self.weights_sum_one, false,
        {"weights-sum-one", PARM_EXPERT_INPUT, "rescale the field weights to sum up to one"});
  visit(self.norm, false,
        {"norm", PARM_EXPERT_INPUT, "normalise the joined vector to unit length"});
  visit(self.pow, 1, {"pow", PARM_EXPERT_INPUT, "degree of the polynomial kernel"});
  visit(self.b, 1.0, {"b", PARM_EXPERT_INPUT, "additive term"});
  visit(self.a, 1.0, {"a", PARM_EXPERT_INPUT, "multiplicative term"});
  visit(self.restrict_field, -1,
        {"restrict", PARM_BASIC_INPUT, "data field of the restriction test"});
}

KerParmList::KerParmList()
    : DeclaredParmList("kernel", kPattern,
                       "Parameterization of the kernel and the cost (in .parm files, at least one "
                       "set). Through kernel and cost, they determine exactly the function to "
                       "optimize.") {
  set_defaults();
}

int KerParmList::get_kernel_type() const {
  int code = lookup(kKernelTypes, type.value.c_str());
  if (code < 0) {
    string_t text;
    ZDEvent::user_input_err("KerParmList::get_kernel_type", "unknown kernel type [%s]\n%s",
                            type.value.c_str(), dump(text));
  }
  return code;
}

void KerParmList::special_prepro(ParmLoadState&) {
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

// --------------------------------------------------------------- FieldParmList

template <class S, class V>
void FieldParmList::declare(S& self, V&& visit) {
  visit(self.protofile, "",
        {"protofile", PARM_NECESSARY_OUTPUT, "file of the field's support-vector data"});
  visit(self.file, "", {"file", PARM_BASIC_INPUT, "input data file of the field"});
  visit(self.transpose, true,
        {"transpose", PARM_BASIC_INPUT, "the field takes part in the inverted index"});
  visit(self.norm, false, {"norm", PARM_BASIC_INPUT, "normalise samples to unit length"});
  visit(self.zlib, true, {"zlib", PARM_BASIC_INPUT, "data files are gzip-compressed"});
  visit(self.type, "bsparse",
        {"type", PARM_BASIC_INPUT, "data type: bsparse, sparse, continuous or bstump"});
  visit(self.stumps, 0, {"stumps", PARM_TRACE_OUTPUT, "number of levels of each stump position"});
  visit(self.nofirst, 0, {"nofirst", PARM_RARE_INPUT, "integer option of the data reading"});
}

FieldParmList::FieldParmList()
    : DeclaredParmList("field", kPattern,
                       "How to read each data field: these parameters describe each field(in "
                       ".parm files, one set per field)") {
  set_defaults();
}

int FieldParmList::get_datatype() const {
  int code = lookup(kDataTypes, type.value.c_str());
  if (code < 0)
    ZDEvent::user_input_err("FieldParmList::get_datatype", "unknown prepro type [%s]",
                            type.value.c_str());
  return code;
}

void FieldParmList::special_prepro(ParmLoadState& load) {
  datatype = get_datatype();
  handler.datatype = datatype;
  handler.update_stump(stumps.values, refer_name.c_str());
  if (protofile.value.length() == 0) {
    ZDString::stprintf(protofile.value, "%s%d%s", "data", load.take_number("data"),
                       zlib.value ? ".gz" : "");
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

// ----------------------------------------------------------------- VecParmList

template <class S, class V>
void VecParmList::declare(S& self, V&& visit) {
  visit(self.maxindex, 0, {"maxindex", PARM_BASIC_INPUT});
  visit(self.binsize, 0, {"binsize", PARM_EXPERT_INPUT});
  visit(self.type, "weight", {"type", PARM_BASIC_INPUT});
  visit(self.field, 0, {"field", PARM_BASIC_INPUT});
}

VecParmList::VecParmList()
    : DeclaredParmList("vector", kPattern, "Description of a sparse vector") {
  set_defaults();
}

int VecParmList::get_vec_type() const {
  int code = lookup(kVecTypes, type.value.c_str());
  if (code < 0) {
    string_t text;
    ZDEvent::user_input_err("VecParmList::get_vec_type", "unknown vec type [%s]\n%s",
                            type.value.c_str(), dump(text));
  }
  return code;
}

bool VecParmList::init_parm(const KeyValue& pair) {
  if (DeclaredParmList::init_parm(pair)) return true;
  const char* key = pair.key.c_str();
  char* end = nullptr;
  errno = 0;
  long index = strtol(key, &end, 0);
  if (end == key) return false;
  if (errno == ERANGE || index < INT_MIN || index > INT_MAX)
    ZDEvent::data_input_err("VecParmList::init_parm", "index %s of vector %s is out of range\n",
                            key, refer_name.c_str());
  ElemValIdx e;
  e.index = static_cast<int>(index);
  e.value = static_cast<float>(ZDString::atof(pair.value.c_str()));
  values.append(e);
  return true;
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

template class DeclaredParmList<ClassifierParmList>;
template class DeclaredParmList<ClassifierParmListIO, ClassifierParmList>;
template class DeclaredParmList<KerParmList>;
template class DeclaredParmList<FieldParmList>;
template class DeclaredParmList<VecParmList>;

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
