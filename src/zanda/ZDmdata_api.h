// Multi-category model: one binary classifier per class over shared kernels
// and data fields, loaded from a parameter table and scored either classifier
// by classifier or, for many linear classifiers, through an inverted index.
#ifndef ZDMDATA_API_H
#define ZDMDATA_API_H

#include <cmath>

#include "ZDdata_model.h"
#include "ZDdata_parms.h"
#include "ZDutil_parm.h"
#include "ZDutil_sparse.h"
#include "ZDutil_sys.h"
#include "ZDutil_transposer.h"
#include "ZDutil_vec.h"

// Output transform of the raw classifier scores. Every int is a valid value
// so that an unknown mode can be rejected at run time.
enum sigmoid_mode_t : int {
  SIGMOID_RAW = 0,       // raw outputs, output factors applied
  SIGMOID_LOGISTIC = 1,  // 1 / (1 + exp(-x)), clamped beyond +-85
  SIGMOID_SOFTMAX = 2,   // exp(x) / sum of exp over all classifiers
  SIGMOID_PRODUCTS = 3,  // bare products: no output factors, no transform
};

// The classifiers of a model in load order, with the kernels and fields they
// share. Loading errors end the process; after loading the model is only read.
class MultiCategData : public ModelParmCont {
 public:
  Mvec<ClassifierModel> fiers;
  Mvec<TransposeMatrix<ElemValIdx, TableValIdx>> transposes;  // one per field, with use_index
  bool use_index = false;

  // Above this many linear classifiers on a single kernel the index is built.
  static const int kMaxClassifiersWithoutIndex = 10;

  MultiCategData() = default;
  MultiCategData(const MultiCategData&) = delete;  // classifiers point into `kernels`
  MultiCategData& operator=(const MultiCategData&) = delete;

  // Loads the classifier blocks named in `names`, in that order (a name
  // without a block leaves an empty classifier), or, with no names, every
  // classifier block in file order, and then sets `names` to their block
  // names. Builds the inverted index when allowed and worthwhile. Returns
  // whether any classifier was loaded.
  bool load_mdl_parms(AnyParmListTable& table, Mvec<const char*>& names, bool allow_index);

  // One score per classifier into `outs` (its count is set to get_nfiers()).
  // `samp` holds one vector per data field of the model (fewer is a
  // user-input error); their `mult` and `sqnorm` are set here.
  void test_samp(Mvec<TableIdx>& samp, Mvec<double>& outs, sigmoid_mode_t mode) const;

  // Reads one sample line of the single data field from `reader` and scores
  // it. False, with `outs` untouched, when no line could be read.
  bool unifield_test_samp(ZDIO& reader, Mvec<double>& outs, sigmoid_mode_t mode);

  int get_nfiers() const { return fiers.size(); }
  // Number of vectors a sample must hold: one per data field, and enough for
  // the field of every kernel's restriction test.
  int get_nsamp_fields() const;

 private:
  void load_classifiers(AnyParmListTable& table, Mvec<const char*>& names, bool& loaded,
                        bool& any_supvec);
  // Whether the index route can score every classifier; finds its field count.
  bool index_possible(int& nfields) const;
  void build_index(int nfields);
  void trace_classifiers_per_kernel() const;
  // Raw scores through the inverted index.
  void index_test_samp(const Mvec<TableIdx>& samp, Mvec<double>& outs, bool apply) const;
};

// The SIGMOID_LOGISTIC transform of one raw score. It never reverses two
// scores: x <= y gives logistic(x) <= logistic(y).
inline double logistic(double x) {
  return x < -85 ? 1e-37 : x > 85 ? 1.0 : 1 / (std::exp(-x) + 1);
}

// Transforms the raw scores in place by `mode`; an unknown mode ends the
// process.
void apply_sigmoid(Mvec<double>& outs, sigmoid_mode_t mode);

#endif
