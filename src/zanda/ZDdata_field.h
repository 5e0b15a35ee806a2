// One data field of a support-vector set: the field's binary vectors as read
// from its data file, their normalisation multipliers and an optional
// inverted index over them.
#ifndef ZDDATA_FIELD_H
#define ZDDATA_FIELD_H

#include "ZDdata_parms.h"
#include "ZDutil_sparse.h"
#include "ZDutil_transposer.h"
#include "ZDutil_vec.h"

// Samples may be views that borrow the elements of another sample (repeated
// line numbers, uncopied restrictions); a view must not outlive its source.
class FieldData {
 public:
  int nsamples = 0;
  FieldParmList parms;      // the field's block, with its line reader `handler`
  Mvec<TableIdx> samples;   // sample j, normalised by parms.normalize_samp
  TableValIdx multipliers;  // (j, mult of sample j) for the samples concerned
  TransposeMatrix<ElemIdx, TableIdx> transposer;  // empty until built

  // Appends the lines of the data file `path` listed in `linenums` (0-based,
  // non-decreasing) as samples; an empty list is first filled with every line
  // of the file. A repeated line number gives a view of the previous sample.
  // A file too short for the list, an extra line under pedantic checking and
  // an unsupported data type end the process.
  void load_data(Mvec<int>& linenums, const char* path);

  // Makes sample j the source sample p[j], as an own copy when `copy`, as a
  // view otherwise. Positions outside the source end the process. Multipliers
  // and index are left empty.
  void restrict_examples_to_veclist(Mvec<TableIdx>& src, const Mvec<int>& p, bool copy);

  // out <- (j, x . sample j) for every sample j with a non-zero product, in
  // increasing j: through the index when built, else over the positions `p`
  // (all samples when p is empty). Under "norm" the products become cosines.
  void set_dpline(TableValIdx& out, const TableIdx& x, const Mvec<int>& p) const;

  // Sets `multipliers` to (k, mult of sample sel[k]) when `packed`, else to
  // (s, mult of sample s) for s in `sel`; an empty `sel` stands for every
  // sample. Traces the number of samples concerned.
  void set_multipliers(const Mvec<int>& sel, bool packed);
};

// Makes `view` share the elements of `src` and copies its header.
void make_view(TableIdx& view, const TableIdx& src);

// Ends the process (user-input error under `label`) unless 0 <= s < n.
void check_sample_position(const char* label, int s, int n);

#endif
