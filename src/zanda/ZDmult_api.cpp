// Scoring of a multi-category model and the output transforms.
#include <climits>
#include <cmath>

#include "ZDdata_api.h"
#include "ZDmdata_api.h"

void MultiCategData::test_samp(Mvec<TableIdx>& samp, Mvec<double>& outs,
                               sigmoid_mode_t mode) const {
  outs.set_nitems(fiers.size());
  if (samp.size() < get_nsamp_fields())
    ZDEvent::user_input_err("MultiCategData::test_samp",
                            "Sample has %d fields, the model reads %d\n", samp.size(),
                            get_nsamp_fields());
  for (int f = 0; f < samp.size() && f < field_parms.size(); f++)
    field_parms[f].normalize_samp(samp[f]);

  bool apply = mode != SIGMOID_PRODUCTS;
  if (use_index) {
    index_test_samp(samp, outs, apply);
  } else {
    for (int i = 0; i < fiers.size(); i++) outs[i] = fiers[i].test_samp(samp, apply);
  }
  if (mode != SIGMOID_PRODUCTS) apply_sigmoid(outs, mode);
}

void MultiCategData::index_test_samp(const Mvec<TableIdx>& samp, Mvec<double>& outs,
                                     bool apply) const {
  const KernelParmList& k = kernels[0];
  // (classifier, summed weights of the sample's features): the fields'
  // weighted products, or the product of the single field, whose storage
  // each thread keeps from sample to sample.
  TableValIdx merged;
  static thread_local TableValIdx single;
  const TableValIdx* acc = &merged;
  double g = 1.0;
  if (k.single_field < 0) {
    TableValIdx t;
    for (int f = 0; f < samp.size() && f < transposes.size() && f < k.field_wts.size(); f++) {
      transposes[f].transpose_product_add(samp[f], t);
      merged.merge(t, samp[f].mult * k.field_wts[f]);
    }
  } else {
    int s = k.single_field;
    if (s < transposes.size()) {
      transposes[s].transpose_product_add(samp[s], single);
      acc = &single;
    }
    g = samp[s].mult;
  }
  if (k.norm.value) g *= 1 / std::sqrt(k.compute_knorm(samp));

  // The constant part that classifier-by-classifier scoring gives each one.
  for (int i = 0; i < fiers.size(); i++) {
    const ClassifierModel& fier = fiers[i];
    if (!apply)
      outs[i] = 0;
    else if (fier.parms.get_nker() == 0 && fier.bias_unset())
      outs[i] = kTrivialNoBiasScore;
    else
      outs[i] = fier.parms.bias.value;
  }
  for (const ElemValIdx& e : *acc) {
    double v = e.value;
    outs[e.index] += apply ? g * v * fiers[e.index].parms.weights.values[0] : g * v;
  }
}

int MultiCategData::get_nsamp_fields() const {
  int n = field_parms.size();
  for (const KernelParmList& k : kernels) {
    if (k.restrict_field.value < n) continue;
    // A sample holds at most INT_MAX fields: field INT_MAX cannot be among them.
    if (k.restrict_field.value == INT_MAX)
      ZDEvent::user_input_err("MultiCategData::get_nsamp_fields",
                              "kernel %s restricts field %d, beyond any sample\n",
                              k.refer_name.c_str(), k.restrict_field.value);
    n = k.restrict_field.value + 1;
  }
  return n;
}

bool MultiCategData::unifield_test_samp(ZDIO& reader, Mvec<double>& outs, sigmoid_mode_t mode) {
  if (field_parms.size() != 1)
    ZDEvent::user_input_err("MultiCategData::test_samp", "Only one filed allowed");
  Mvec<TableIdx> samp(1);
  if (!field_parms[0].handler.Read(reader, samp[0], "sample", 0)) return false;
  test_samp(samp, outs, mode);
  return true;
}

void apply_sigmoid(Mvec<double>& outs, sigmoid_mode_t mode) {
  switch (mode) {
    case SIGMOID_RAW:
    case SIGMOID_PRODUCTS:
      return;
    case SIGMOID_LOGISTIC:
      for (double& x : outs) x = logistic(x);
      return;
    case SIGMOID_SOFTMAX: {
      // No shift by the maximum: outputs beyond about 709 overflow.
      double sum = 0;
      for (double& x : outs) {
        x = std::exp(x);
        sum += x;
      }
      for (double& x : outs) x /= sum;
      return;
    }
  }
  ZDEvent::user_input_err("apply_sigmoid", "unknown sigmoid mode %d", static_cast<int>(mode));
}
