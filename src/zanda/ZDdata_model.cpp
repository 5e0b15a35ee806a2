#include "ZDdata_model.h"

#include <algorithm>
#include <cstring>

#include "ZDdata_vecfile.h"
#include "ZDutil_event.h"
#include "ZDutil_sys.h"

namespace {

const char kLoadLabel[] = "ClassifierModel::load_parms";

// Refer names match when both are absent or both hold the same text.
bool same_refer_name(const string_t& a, const string_t& b) {
  if (!a.data || !b.data) return !a.data && !b.data;
  return strcmp(a.data, b.data) == 0;
}

// First entry of a table that a classifier with a kernel must fill; an empty
// table is rejected rather than read past.
const string_t& first_entry(const ParmStringTable& table, const char* name) {
  if (table.values.empty())
    ZDEvent::user_input_err(kLoadLabel, "Classifier %s has one kernel weight but no %s entry\n",
                            name, table.name);
  return table.values[0];
}

}  // namespace

bool ClassifierModel::load_parms(AnyParmListTable& table, const char* name,
                                 Mvec<KernelParmList>& kernels) {
  ClassifierParmListIO io(parms);
  if (name) {
    if (!steal_parm(table, io, name)) {
      if (ZDEvent::verbose > 1) ZDEvent::trace("No classifier named %s\n", name);
      return false;
    }
  } else {
    AnyParmList* block = nullptr;
    for (AnyParmList& b : table.blocks) {
      if (b.type && strcmp(b.type, io.type_name) == 0) {
        block = &b;
        break;
      }
    }
    if (!block) return false;
    io.load(*block);
    block->clear();
  }
  parms = io;  // the kept values and the refer name; kernels and vecfile stay in io
  name = parms.refer_name.c_str();

  const int nker = io.get_nker();
  if (nker == 0) {
    if (ZDEvent::verbose > 1) ZDEvent::trace("Do not load %s as it is not initialized\n", name);
    if (!io.trivial.value) {
      kernel = kernels.empty() ? nullptr : &kernels[0];
      parms.set_nker(1);
    }
    return true;
  }
  if (nker > 1)
    ZDEvent::user_input_err(kLoadLabel, "Classifier %s has %d kernels: not supported yet\n", name,
                            nker);

  const string_t& kernel_name = first_entry(io.kernels, name);
  kernel = nullptr;
  for (KernelParmList& k : kernels) {
    if (same_refer_name(k.refer_name, kernel_name)) {
      kernel = &k;
      break;
    }
  }
  if (!kernel)
    ZDEvent::abort_err(kLoadLabel, "Classifier %s kernel %s is not defined", name,
                       kernel_name.c_str());

  const string_t& vecfile = first_entry(io.vecfile, name);
  if (vecfile.length() == 0) return true;

  // A text vector file of the plain shape has a reader of its own; any
  // other, and every file with a binary part, goes through the parser.
  const string_t vecpath = table.base_dir + vecfile;
  const bool text_only = parms.binfile.value.length() == 0;
  if (!text_only || !read_plain_vector_file(vecpath.c_str(), vecsets, table.load_state.get())) {
    AnyParmListTable vectors;
    vectors.load_state = table.load_state;  // one load: one unknown-key warning
    vectors.load_parameter_table(vecpath.c_str());
    vecsets.free_all();
    if (text_only) {
      vectors.fetch_typed_parms(vecsets);
    } else {
      ZDIO bin;
      bin.force_open((table.base_dir + parms.binfile.value).c_str(), "r", false);
      vectors.fetch_typed_parms(vecsets, &bin);
      bin.clean_close();
    }
  }
  if (ZDEvent::verbose > 2) {
    for (const VecParmList& set : vecsets)
      ZDEvent::trace("%s: loaded a set of %d support vectors\n", name, set.values.size());
  }
  return true;
}

bool ClassifierModel::compute_weights() {
  for (const VecParmList& set : vecsets)
    if (set.get_vec_type() == VT_SUPVEC) return false;

  lin_weights.free_all();
  for (const VecParmList& set : vecsets) {
    const int type = set.get_vec_type();
    if (type == VT_RESTRICT) continue;  // read by the restriction test, not a weight vector
    const int f = set.field.value;
    if (f < 0)
      ZDEvent::user_input_err("ClassifierModel::compute_weights",
                              "Classifier %s: vector %s has negative field %d\n", name(),
                              set.refer_name.c_str(), f);
    // No kernel weight reads a field beyond the kernel's fields, on either
    // scoring route, so such a set stores nothing: a large field number costs
    // nothing. It still makes the classifier linear, as a slot at f would, so
    // the slots reach the kernel's fields (at least one), all of them empty.
    if (kernel && f >= kernel->field_wts.size()) {
      const int unread_from = std::max(kernel->field_wts.size(), 1);
      if (lin_weights.size() < unread_from) lin_weights.set_nitems(unread_from);
      continue;
    }
    if (lin_weights.size() <= f) lin_weights.set_nitems(f + 1);
    if (type == VT_WEIGHT) {
      lin_weights[f].incr(set.values, 1.0);
    } else {  // VT_STUMP: element k is the weight of feature k
      lin_weights[f] = set.values;
      lin_weights[f].sparse = false;
    }
  }
  return true;
}

void ClassifierModel::restrict_support_vectors(VecData& supvecs) {
  for (const VecParmList& set : vecsets) {
    if (set.get_vec_type() != VT_RESTRICT) continue;
    restrict_set.copy(set.values);
    restrict_set.sort_feat();  // the overlap walk needs increasing indices
  }

  kernel_data.free_all();
  if (compute_weights()) return;

  kernel_data.set_nitems(vecsets.size());
  for (int i = 0; i < vecsets.size(); i++) {
    VecParmList& set = vecsets[i];
    if (set.get_vec_type() != VT_SUPVEC) continue;
    const int n = set.values.size();
    Mvec<int> positions(n);
    set.coefs.free_all();
    set.coefs.set_nitems(n);
    for (int j = 0; j < n; j++) {
      positions[j] = set.values[j].index;
      set.coefs[j] = set.values[j].value;
    }
    set.values.sparse = false;

    KernelVecData& data = kernel_data[i];
    data.restrict_examples_to_veclist(supvecs, positions, true);
    data.transpose_store(true, false, false, false, TMUL_MERGE);
    data.kparms = kernel;
    data.compute_rknorms();
  }
}
