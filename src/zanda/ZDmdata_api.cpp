// Loading of a multi-category model and of its inverted index.
#include "ZDmdata_api.h"

bool MultiCategData::load_mdl_parms(AnyParmListTable& table, Mvec<const char*>& names,
                                    bool allow_index) {
  VecData supvecs;
  bool loaded = false;
  bool any_supvec = false;
  init_parameters(table);
  load_classifiers(table, names, loaded, any_supvec);
  int nclass = fiers.size();

  if (!loaded) {
    ZDEvent::trace("MultiCategData::load_mdl_parms: no classes to load\n");
    return false;
  }
  if (kernels.empty())
    ZDEvent::user_input_err("MultiCategData::load_mdl_parms", "Parameter file contains no kernel");
  if (ZDEvent::verbose > 0) ZDEvent::trace("%d shared data\n", kernels.size());
  if (any_supvec) {
    supvecs.copy_field_parms(field_parms);
    supvecs.load_supvec_data(table);
  } else {
    ZDEvent::trace("no global support vectors\n");
  }

  use_index = nclass > kMaxClassifiersWithoutIndex && kernels.size() == 1 && allow_index;
  int nfields = 0;
  if (use_index) use_index = index_possible(nfields);
  if (use_index) {
    build_index(nfields);
  } else {
    for (ClassifierModel& fier : fiers)
      if (fier.kernel) fier.restrict_support_vectors(supvecs);
  }

  trace_classifiers_per_kernel();
  ZDEvent::trace("********** LOADED %d models\n", nclass);
  if (ZDEvent::verbose > 0) ZDEvent::trace("\n");
  return true;
}

void MultiCategData::load_classifiers(AnyParmListTable& table, Mvec<const char*>& names,
                                      bool& loaded, bool& any_supvec) {
  auto note = [&](const ClassifierModel& fier) {
    loaded = true;
    for (const VecParmList& set : fier.vecsets)
      if (set.get_vec_type() == VT_SUPVEC) any_supvec = true;
  };
  if (names.empty()) {
    // Every classifier block in file order; the slot of the failed attempt goes.
    for (;;) {
      fiers.append(ClassifierModel());
      if (!fiers.back().load_parms(table, nullptr, kernels)) break;
      note(fiers.back());
    }
    fiers.remove(fiers.size() - 1);
    names.set_nitems(fiers.size());
    for (int i = 0; i < fiers.size(); i++) names[i] = fiers[i].name();
    return;
  }
  fiers.set_nitems(names.size());
  for (int i = 0; i < names.size(); i++)
    if (fiers[i].load_parms(table, names[i], kernels)) note(fiers[i]);
}

bool MultiCategData::index_possible(int& nfields) const {
  nfields = 0;
  // The index route has no restriction test: keep such models on the
  // classifier route, where every classifier applies it.
  if (kernels[0].restrict_field.value >= 0) return false;
  for (int i = 0; i < fiers.size(); i++) {
    const ClassifierModel& fier = fiers[i];
    if (fier.parms.get_nker() != 0) {
      for (const VecParmList& set : fier.vecsets) {
        if (set.get_vec_type() != VT_WEIGHT) {
          ZDEvent::trace("No inverted index: fier %d not linear\n", i);
          return false;
        }
      }
    }
    // As on the classifier route, a set of a field beyond the kernel's fields
    // is never read: it gets no index (and a field of INT_MAX no overflow).
    for (const VecParmList& set : fier.vecsets)
      if (set.field.value >= nfields && set.field.value < kernels[0].field_wts.size())
        nfields = set.field.value + 1;
  }
  return true;
}

void MultiCategData::build_index(int nfields) {
  ZDEvent::trace("Building inverted index for %d fields\n", nfields);
  transposes.set_nitems(nfields);
  for (int f = 0; f < nfields; f++) {
    // Row i is classifier i's weight vector for field f (empty when it has
    // none; the last set of the field when it has several). The index takes the
    // vectors' storage over: scoring through it never reads them again.
    Mvec<TableValIdx> rows(fiers.size());
    for (int i = 0; i < fiers.size(); i++) {
      if (fiers[i].parms.get_nker() == 0) continue;
      VecParmList* last = nullptr;
      for (VecParmList& set : fiers[i].vecsets)
        if (set.field.value == f) last = &set;
      if (!last) continue;
      rows[i] = TableValIdx(last->values.sparse, last->values.binary);
      static_cast<TableBase&>(rows[i]) = last->values;
      rows[i].take_over(last->values);
    }
    transposes[f].method = TMUL_MERGE;
    transposes[f].store(rows, false);
  }
  // Scoring through the index needs only each classifier's bias and output factor.
  for (ClassifierModel& fier : fiers) fier.kernel_data.free_all();
}

void MultiCategData::trace_classifiers_per_kernel() const {
  for (int k = 0; k < kernels.size(); k++) {
    int count = 0;
    for (const ClassifierModel& fier : fiers) {
      if (fier.kernel != &kernels[k]) continue;
      ZDEvent::trace("%s ", fier.name());
      count++;
    }
    if (ZDEvent::verbose > 0) ZDEvent::trace("\nData %d: %d classifiers \n", k, count);
  }
}
