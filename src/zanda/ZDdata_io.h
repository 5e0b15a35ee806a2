// A set of samples, each one binary vector per data field: the support
// vectors shared by the kernel classifiers of a model, or the subset that one
// classifier's support-vector set takes from them.
#ifndef ZDDATA_IO_H
#define ZDDATA_IO_H

#include "ZDdata_field.h"
#include "ZDdata_parms.h"
#include "ZDutil_parm.h"
#include "ZDutil_sparse.h"
#include "ZDutil_transposer.h"
#include "ZDutil_vec.h"

// Every field holds the same number of samples; sample i of the set is
// sample i of each field. Errors in the field files end the process.
class VecData {
 public:
  int nsamples = 0;
  Mvec<FieldData> fields;  // in the order of the model's field blocks
  // Line numbers (0-based) of the samples in the field files; filled with
  // 0..n-1 by the first field read when empty. Also the sample selection of
  // transpose_store and the candidate positions of FieldData::set_dpline.
  Mvec<int> linenums;

  // Gives field f a copy of list[f]. An empty list changes nothing; a list
  // whose length differs from a non-empty `fields` ends the process.
  void copy_field_parms(const Mvec<FieldParmList>& list);

  // Reads every field's "protofile" (relative to the table's base directory)
  // and builds the fields' multipliers. Fields whose sample counts differ end
  // the process.
  void load_supvec_data(const AnyParmListTable& table);

  // out[f] <- a view of sample i of field f, for every field.
  void get_samp(int i, Mvec<TableIdx>& out) const;

  // Builds each field's multipliers and, unless the field's "transpose" is
  // off (always so below 2 samples) or `mult_only` is set, its inverted index
  // by `method`, compacted when `compact`. A non-empty `linenums` selects the
  // samples: kept at their own positions, or renumbered 0..k-1 when `packed`.
  // `take_over` moves the samples' elements into the index instead of lending
  // them (the samples keep only their headers).
  void transpose_store(bool compact, bool mult_only, bool packed, bool take_over,
                       tmul_method_t method);

  // Makes this set the samples of `src` at positions `p`, in that order, with
  // the source's field parameters: own copies when `copy`, views otherwise.
  // `linenums` is emptied; multipliers and indexes are not built.
  void restrict_examples_to_veclist(VecData& src, Mvec<int>& p, bool copy);
};

#endif
