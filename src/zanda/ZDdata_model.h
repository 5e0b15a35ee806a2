// One binary classifier of a multi-category model: its parameters, vector
// sets and kernel data as loaded from a parameter table, and its scoring.
#ifndef ZDDATA_MODEL_H
#define ZDDATA_MODEL_H

#include "ZDdata_kernel.h"
#include "ZDdata_parms.h"
#include "ZDutil_parm.h"
#include "ZDutil_sparse.h"
#include "ZDutil_vec.h"

// A classifier takes one of four forms, fixed by loading:
//   trivial          no "weights": constant output, no kernel;
//   not initialised  neither "weights" nor "trivial": first model kernel,
//                    one output factor 0.0, no vector sets;
//   linear           "weight"/"stump" sets (plus an optional "restrict" set)
//                    folded into one weight vector per data field;
//   kernel           "supvec" sets scored through their support vectors.
// Loading errors end the process; once prepared, scoring is read-only.
class ClassifierModel {
 public:
  KernelParmList* kernel = nullptr;  // entry of the model's kernel list, not owned
  Mvec<KernelVecData> kernel_data;   // one slot per vector set; filled for "supvec" sets
  Mvec<TableValIdx> lin_weights;     // weight vector of each data field (linear form)
  Mvec<VecParmList> vecsets;         // vector sets of the vector file, in file order
  ClassifierParmList parms;          // the block's values; its refer name is the classifier name
  TableIdx restrict_set;             // indices of the last "restrict" set

  const char* name() const { return parms.refer_name.c_str(); }

  // Takes the classifier block called `name` (the first classifier block
  // when null) out of `table` and reads its vector file and binary vector
  // file. `kernel` then points into `kernels`, which must outlive this
  // classifier and not be resized. Returns false when no such block exists.
  bool load_parms(AnyParmListTable& table, const char* name, Mvec<KernelParmList>& kernels);

  // Folds "weight" sets (summed) and "stump" sets (dense, replacing) into
  // `lin_weights` and returns true, unless some set is a "supvec" set: then
  // returns false and changes nothing. "restrict" sets do not count.
  bool compute_weights();

  // Prepares scoring once the shared support vectors are loaded: the
  // restriction set, then either `lin_weights` or, for each "supvec" set,
  // its own copy of its support vectors with an inverted index and norms.
  void restrict_support_vectors(VecData& supvecs);

  // Raw score of `samp` (one normalised vector per data field); `apply`
  // multiplies by the first output factor and adds the bias. A sample that
  // misses the restriction set scores kRestrictFailScore.
  double test_samp(const Mvec<TableIdx>& samp, bool apply) const;

  // Scores trivial and linear classifiers into `s` and returns true; returns
  // false, `s` untouched, when the support vectors must be used. Never
  // allocates.
  bool test_samp_lin(const Mvec<TableIdx>& samp, double& s, bool apply) const;

  // True when "bias" still holds the "not given" default.
  bool bias_unset() const;
};

#endif
