// Public face of the model library: load a multi-category model directory,
// score sparse 0/1 samples with it and name its classes.
#ifndef ZANDA_API_H
#define ZANDA_API_H

#include <cstdio>

#include "ZDutil_vec.h"

class MultiCategData;
class MultiSuper;

// Owns the classifiers and the supervisors that name them. Once loaded,
// scoring changes nothing in the model: the const operations may run on
// several threads at once.
class ZandaModelAPI {
 public:
  ZandaModelAPI();
  ~ZandaModelAPI();
  ZandaModelAPI(const ZandaModelAPI&) = delete;
  ZandaModelAPI& operator=(const ZandaModelAPI&) = delete;

  // Loads directory `model` (its "zanda.parm" and the files that it names).
  // Points this thread's trace stream at `trace` (null: no traces) for good:
  // standard output stays free for results. Throws ZDError on failure; the
  // facade is then to be destroyed, and holds nothing of the failed load
  // but what its destructor frees.
  void load_mdl_parms(const char* model, FILE* trace = stderr);
  int get_nfiers() const;
  // Class name of classifier i (0 <= i < get_nfiers()), owned by the facade.
  const char* classifier_name(int i) const;

  // Scores the sample made of the n feature indices (any order, repeats
  // allowed; the array is reordered in place). `outs` receives get_nfiers()
  // sigmoid scores: in classifier order when `ranks` is null, otherwise in
  // non-increasing order with ranks[i] the classifier of outs[i]. With `nbest`
  // at 0 or above only the first nbest entries of outs and ranks are set as
  // that ranking gives them; the others are left unspecified. Always true.
  bool test_samp(int* indices, int n, double* outs, int* ranks, int nbest = -1) const;
  // Same for one sample written as a text line of indices; false when the
  // line holds no readable sample.
  bool test_samp(const char* line, double* outs, int* ranks) const;
  // Same for the next sample line of an open stream, which stays open.
  bool test_samp(FILE* fp, double* outs, int* ranks) const;

 private:
  void rank(double* outs, int* ranks, int nbest = -1) const;

  MultiCategData* priv;
  MultiSuper* super;
};

// Heapsort of `values` into non-increasing order; every move is applied to
// `idx` too. Equal values end up in the order this exact procedure leaves
// them (all equal: 1, 2, ..., n-1, 0), which the decoder's output relies on.
void sort_double_down(Mvec<double>& values, Mvec<int>& idx);

#endif
