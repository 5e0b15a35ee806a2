// Inverted index: row vectors stored transposed, one column per feature, so
// that the product with a binary sample touches only the sample's columns.
#ifndef ZDUTIL_TRANSPOSER_H
#define ZDUTIL_TRANSPOSER_H

#include "ZDutil_sparse.h"

// How the columns of a sample's features are combined by a product.
enum tmul_method_t {
  TMUL_ADD = 0,    // tadd: dense accumulator, rows summing to exactly 0 left out
  TMUL_MERGE = 1,  // tmrg: running sparse merge of the columns, last feature first
  TMUL_LIST = 2,   // tlist: linked-list accumulator, last feature first
};

// Node of an AVlist: an element record plus the position of the next node.
template <class E>
struct elem : E {
  int next;
};

// Accumulator of (index, value) pairs: a linked list inside an array, visited
// from `head` in strictly increasing index order. New nodes are appended to
// the array and linked in at their place.
class AVlist {
 public:
  Mvec<elem<ElemValIdx>> nodes;
  int head = -1;

  // Empties the list, keeping the node storage.
  void clear() {
    nodes.nitems = 0;
    head = -1;
  }
  // Replaces the list by the column's entries with values w (binary column)
  // or w * value.
  template <class Column>
  void copy(const Column& column, double w);
  // Adds w times the column into the list.
  template <class Column>
  void merge(const Column& column, double w);
  // Writes the list into out in index order.
  void dump(TableValIdx& out) const;
  // Walks the list, aborts when it is not strictly increasing; returns the
  // number of nodes seen.
  int check_seq() const;
};

// Matrix of rows kept as columns. Two instances exist: <ElemIdx, TableIdx>
// over binary rows (a column lists row numbers) and <ElemValIdx, TableValIdx>
// over valued rows (a column lists (row, value) pairs). Every product gives,
// in increasing row order, (row, sum of the row's entries in the sample's
// columns). The products keep working buffers per thread: a built matrix may
// run products on several threads at once.
template <class TransElem, class TransTable>
class TransposeMatrix {
 public:
  // The entries of one column, in increasing row order: a view into storage.
  struct Column {
    const TransElem* data;
    int nitems;

    const TransElem& operator[](int i) const { return data[i]; }
    const TransElem* begin() const { return data; }
    const TransElem* end() const { return data + nitems; }
    int size() const { return nitems; }
  };

  int nrows = 0;
  Mvec<int> remap;  // empty, or after compaction the feature index of column k
  tmul_method_t method = TMUL_MERGE;
  // Entries of all columns, column after column; column c is
  // storage[starts[c], starts[c + 1]), and starts is empty or has
  // ncolumns() + 1 items. A column costs one offset, not a table header.
  Mvec<TransElem> storage;
  Mvec<int> starts;

  int ncolumns() const { return starts.nitems > 0 ? starts.nitems - 1 : 0; }
  Column column(int c) const { return Column{storage.data + starts[c], starts[c + 1] - starts[c]}; }
  bool empty() const { return nrows == 0 && ncolumns() == 0; }

  // Builds the index from the rows, emptying each of them; compacts the
  // columns when `compact` is set.
  void store(Mvec<TransTable>& rows, bool compact);
  // Distributes the rows' entries into storage at the slots next[c] onwards,
  // when no row has a stump and each row's indices strictly increase.
  void scatter_in_bands(const Mvec<TransTable>& rows, Mvec<int>& next);
  // Drops the empty columns when at least half of them are empty.
  void try_compact();
  // The index list to use for x: x itself without remap, else scratch filled
  // with the column positions of x's features that have a column.
  const TableIdx& apply_remap(const TableIdx& x, TableIdx& scratch) const;
  // out <- the sparse product of the matrix with the binary sample x, by the
  // method of `method`. out must be sparse.
  void transpose_product_add(const TableIdx& x, TableValIdx& out) const;

  // The three column combinations; x holds column positions.
  void tadd(const TableIdx& x, TableValIdx& out) const;
  void tmrg(const TableIdx& x, TableValIdx& out) const;
  void tlist(const TableIdx& x, TableValIdx& out) const;
};

#endif
