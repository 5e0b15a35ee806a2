// Sparse and dense vectors of the model library and the arithmetic between
// them. Values are stored as 32-bit floats; every product and every new value
// is computed in double precision and only the stored result is rounded.
#ifndef ZDUTIL_SPARSE_H
#define ZDUTIL_SPARSE_H

#include <algorithm>

#include "ZDutil_vec.h"

class ZDIO;

// Data type of a data field, selected by the field's "type" name.
enum feature_data_t {
  FD_BSPARSE = 0,     // "bsparse": sorted feature indices, value 1
  FD_SPARSE = 1,      // "sparse": index:value pairs (not read as binary data)
  FD_CONTINUOUS = 2,  // "continuous" (not read as binary data)
  FD_BSTUMP = 3,      // "bstump": one bin number per thresholded feature
};

struct ElemIdx {
  int index;
};

struct ElemValIdx {
  int index;
  float value;
};

// Growable array of element records that can be put in canonical form.
template <class E>
class MTable : public Mvec<E> {
 public:
  using Mvec<E>::Mvec;
  MTable() = default;

  // Sorts by index when out of order, keeps the first of each run of equal
  // indices and shrinks the storage to the count (a borrowed array gets its
  // own copy). A negative index is a data error.
  void sort_feat();

  // Shrinks the storage to the count, taking an own copy when borrowed.
  void own_compress() {
    if (this->borrowed) {
      Mvec<E> own(*this);
      this->take_over(own);
    } else {
      this->compress();
    }
  }
};

// Stump tables of a data field for n thresholded features: `offsets` (n + 1
// entries) gives the first one-hot position of each feature and the total,
// `scales` 1/(range - 1), `ranges` the number of bins of each feature.
struct StumpData {
  Mvec<int> offsets;
  Mvec<double> scales;
  Mvec<int> ranges;
};

// Normalisation header shared by the vector classes: `mult` scales the values,
// `sqnorm` is the squared norm after scaling, `stump` (not owned) is set only
// on bstump vectors and points at the stump tables of the field that read them.
struct TableBase {
  float mult = 1.0f;
  float sqnorm = 1.0f;
  const StumpData* stump = nullptr;
};

class TableValIdx;

// Dense vector of doubles: element i is the value at position i.
class TableVal : public Mvec<double> {
 public:
  using Mvec<double>::Mvec;
  TableVal() = default;
};

// Binary sparse vector: strictly increasing non-negative feature indices with
// implicit value 1; for bstump data, one bin number per feature in file order.
class TableIdx : public TableBase, public MTable<ElemIdx> {
 public:
  using MTable<ElemIdx>::MTable;
  TableIdx() = default;

  // Only bsparse and bstump can be read as binary vectors; any other type is a
  // data error. Changes nothing.
  void init(int type);
  // Replaces the content with the indices of the next line of `file`, in token
  // order (an empty line gives {0}). False at end of file (vector unchanged)
  // or after a token that is not a number (warned; indices read so far kept).
  bool load(ZDIO& file);
  // Number of common indices; for two bstump vectors the stump similarity.
  double dot_prod(const TableIdx& other) const;
  // Whether the two increasing index lists share an index.
  bool overlap(const TableIdx& other) const;
  // Takes v's header values and indices (values dropped).
  void copy(const TableValIdx& v);
};

// Valued vector in one of three forms: sparse with values (default), sparse
// binary (values stored as 1.0) or dense (`sparse` false: element i holds
// index i and the value of feature i).
class TableValIdx : public TableBase, public MTable<ElemValIdx> {
 public:
  bool sparse = true;
  bool binary = false;

  explicit TableValIdx(bool is_sparse = true, bool is_binary = false)
      : sparse(is_sparse), binary(is_binary) {}
  // Sparse, non-binary, count and capacity n, elements uninitialised.
  explicit TableValIdx(int n) : MTable<ElemValIdx>(n) {}
  TableValIdx(const TableValIdx&) = default;
  TableValIdx& operator=(const TableValIdx&) = default;
  virtual ~TableValIdx() = default;

  // Sum of this vector's values at x's indices (x binary), or, for a bstump x
  // against a dense vector, at its one-hot positions.
  double dot_prod(const TableIdx& x) const;
  // Sum of t[index] * value over this vector's elements.
  double dot_prod(const TableVal& t) const;

  // this <- this + w * other.
  void merge(const TableValIdx& other, double w);
  // this <- a + w * b.
  void merge(const TableValIdx& a, const TableValIdx& b, double w);
  // this <- a + w * b, b's values being 1.
  void merge(const TableValIdx& a, const TableIdx& b, double w);
  // this <- this + w * other; a dense operand makes or keeps this dense.
  void incr(const TableValIdx& other, double w);
  // Element-wise product on common indices (w * other * this); elements of
  // this without a partner become 0. Both vectors must be sparse.
  void mul(const TableValIdx& other, double w);

 private:
  // Dense this: adds w * other (sparse) at other's indices, growing as needed.
  void add_sparse_to_dense(const TableValIdx& other, double w);
  // Builds this (empty, distinct from a and b) as the merge of a and w * b.
  template <class B>
  void merge_walk(const TableValIdx& a, const B& b, double w);
  // this <- a + w * b for either kind of b, whatever aliases this.
  template <class B>
  void merge_pair(const TableValIdx& a, const B& b, double w);
};

template <class E>
void MTable<E>::sort_feat() {
  int n = this->nitems;
  E* d = this->data;
  bool unsorted = false;
  bool repeats = false;
  for (int i = 0; i < n; i++) {
    if (d[i].index < 0)
      ZDEvent::data_input_err("TableValIdx::sort_feat", "Negative index %d", d[i].index);
    if (i > 0) {
      if (d[i].index < d[i - 1].index) unsorted = true;
      if (d[i].index == d[i - 1].index) repeats = true;
    }
  }
  if ((unsorted || repeats) && this->borrowed) {
    Mvec<E> own(*this);  // never reorder storage lent by another vector
    this->take_over(own);
    d = this->data;
  }
  if (unsorted) {
    std::sort(d, d + n, [](const E& a, const E& b) { return a.index < b.index; });
    repeats = false;
    for (int i = 1; i < n && !repeats; i++) repeats = d[i].index == d[i - 1].index;
  }
  if (repeats) {
    int k = 1;
    for (int i = 1; i < n; i++)
      if (d[i].index != d[k - 1].index) d[k++] = d[i];
    this->nitems = k;
  }
  own_compress();
}

#endif
