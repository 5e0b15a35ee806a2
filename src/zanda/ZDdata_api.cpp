#include "ZDdata_api.h"

#include <cmath>

bool ClassifierModel::bias_unset() const {
  static const ClassifierParmList fresh;
  return parms.bias.value == fresh.bias.value;
}

double KernelParmList::weight_prod(const Mvec<TableIdx>& samp, const Mvec<TableValIdx>& W) const {
  if (single_field >= 0) {
    const int f = single_field;
    if (f >= W.size()) return 0.0;
    return W[f].dot_prod(samp[f]) * static_cast<double>(samp[f].mult);
  }
  double sum = 0.0;
  const int nf = field_wts.size() < W.size() ? field_wts.size() : W.size();
  for (int j = 0; j < nf; j++)
    sum += field_wts[j] * (W[j].dot_prod(samp[j]) * static_cast<double>(samp[j].mult));
  return sum;
}

bool ClassifierModel::test_samp_lin(const Mvec<TableIdx>& samp, double& s, bool apply) const {
  if (parms.get_nker() == 0) {  // trivial: the accumulator is overwritten
    if (bias_unset())
      s = kTrivialNoBiasScore;
    else
      s = apply ? parms.bias.value : 0.0;
    return true;
  }
  if (lin_weights.empty()) return false;
  s += kernel->weight_prod(samp, lin_weights);
  if (kernel->norm.value) s *= 1.0 / std::sqrt(kernel->compute_knorm(samp));
  if (apply) s = s * parms.weights.values[0] + parms.bias.value;
  return true;
}

double ClassifierModel::test_samp(const Mvec<TableIdx>& samp, bool apply) const {
  if (kernel) {
    const int r = kernel->restrict_field.value;
    if (r >= 0 && !samp[r].overlap(restrict_set)) return kRestrictFailScore;
  }
  double s = 0.0;
  if (test_samp_lin(samp, s, apply)) return s;

  // A classifier never prepared by restrict_support_vectors has no kernel
  // data: its sets contribute nothing.
  const int nsets = vecsets.size() < kernel_data.size() ? vecsets.size() : kernel_data.size();
  for (int i = 0; i < nsets; i++) {
    if (vecsets[i].get_vec_type() != VT_SUPVEC) continue;
    TableValIdx kline(true);
    kernel_data[i].set_kline(kline, samp);
    s += kline.dot_prod(vecsets[i].coefs);
  }
  if (apply) s = s * parms.weights.values[0] + parms.bias.value;
  return s;
}
