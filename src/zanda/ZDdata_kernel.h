// Compiled kernels: the field weights of a "kernel" block checked against the
// model's data fields, the kernel functions, and the kernel line of a query
// sample against the support vectors of one vector set.
#ifndef ZDDATA_KERNEL_H
#define ZDDATA_KERNEL_H

#include "ZDdata_io.h"
#include "ZDdata_parms.h"
#include "ZDutil_sparse.h"
#include "ZDutil_vec.h"

// A kernel block plus its compiled field weights. Compiled once by
// check_field_weights, read-only afterwards.
class KernelParmList : public KerParmList {
 public:
  Mvec<double> field_wts;  // weight of each data field; 0 for unnamed fields
  int single_field = -1;   // the only field with a positive weight, else -1

  // Validates "fields" and "weights" against the model's data fields (ends
  // the process on any mismatch), rescales them under "weights-sum-one",
  // fills field_wts and returns the new single_field.
  int check_field_weights(const Mvec<FieldParmList>& fields);

  // Squared norm of a sample in kernel space: the field-weighted sum of the
  // fields' sqnorm, or the single field's sqnorm alone.
  double compute_knorm(const Mvec<TableIdx>& x) const;

  // Weighted sum of the per-field products (w_f . x_f) * mult of x_f; the
  // single field alone, unweighted, when set.
  double weight_prod(const Mvec<TableIdx>& samp, const Mvec<TableValIdx>& W) const;
};

// The kernel function of one evaluation. c0 is the kernel's value for two
// orthogonal normalised vectors and is subtracted from every non-linear
// kernel value, so that such vectors score 0.
struct KernelParmListComp {
  int type;
  bool norm;
  double b;
  double a;
  double p;
  double c0;

  explicit KernelParmListComp(const KernelParmList& k);

  // Kernel value for the cosine d.
  double prenorm_kernel(double d) const;
  // Replaces every value of the line (cosines) by its kernel value.
  void prenorm_kernel(TableValIdx& kline) const;
  // Replaces every value (j, d) of the line (dot products) by its kernel
  // value, given the support vectors' kernel-space norms `rknorms` and the
  // query's kernel-space squared norm `knorm`.
  void base_kernel(TableValIdx& kline, const Mvec<double>& rknorms, double knorm) const;

  // Exponent of the poly kernel: 1 for p = 1, else the least integer >= max(2, p).
  int degree() const;
};

// The support vectors of one vector set, with the norms that the kernel line
// needs. `kparms` must be set and compute_rknorms called before set_kline.
class KernelVecData : public VecData {
 public:
  const KernelParmList* kparms = nullptr;  // the classifier's kernel, not owned
  Mvec<double> rknorms;                    // sqrt of each sample's kernel-space squared norm

  void compute_rknorms();

  // kline <- (j, K(x, sample j)) for every support vector j that shares a
  // feature with x in a field the kernel takes; the others are absent.
  void set_kline(TableValIdx& kline, const Mvec<TableIdx>& x) const;
};

#endif
