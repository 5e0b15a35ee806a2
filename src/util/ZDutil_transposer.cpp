#include "ZDutil_transposer.h"

#include <algorithm>
#include <climits>

namespace {

const char kProductLabel[] = "TransposeMatrix<TransElem,TransTable>::transpose_product_add";

// Value of a column entry: 1 in a binary column, the stored value otherwise.
inline float entry_value(const ElemIdx&) {
  return 1.0f;
}
inline float entry_value(const ElemValIdx& e) {
  return e.value;
}

// Feature index and value of element i of a row.
inline int row_index(const TableIdx& row, int i) {
  return row[i].index;
}
inline int row_index(const TableValIdx& row, int i) {
  return row.sparse ? row[i].index : i;
}
inline float row_value(const TableIdx&, int) {
  return 1.0f;
}
inline float row_value(const TableValIdx& row, int i) {
  return row[i].value;
}

// Places row r at slot k of a column starting at slot `first`. Rows are
// distributed in increasing order, so a row that repeats a feature finds
// itself at the end of the column and still gives a single entry.
inline void place(ElemIdx* slots, int first, int& k, int r, float) {
  if (k == first || slots[k - 1].index != r) slots[k++] = ElemIdx{r};
}
inline void place(ElemValIdx* slots, int first, int& k, int r, float value) {
  if (k > first && slots[k - 1].index == r)
    slots[k - 1].value += value;
  else
    slots[k++] = ElemValIdx{r, value};
}

// The entry of row r with `value` in a column.
inline ElemIdx column_entry(const ElemIdx*, int r, float) {
  return ElemIdx{r};
}
inline ElemValIdx column_entry(const ElemValIdx*, int r, float value) {
  return ElemValIdx{r, value};
}

// Whether a plain row's indices strictly increase: then no two of its entries
// share a column.
template <class Row>
bool strictly_increasing(const Row& row) {
  for (int i = 1; i < row.nitems; i++)
    if (row_index(row, i) <= row_index(row, i - 1)) return false;
  return true;
}

// Running sum of one row in tmrg; `stamp` equals the product's generation
// once the row is touched, so the slots never need clearing.
struct RowSum {
  float sum;
  unsigned stamp;
};

// Working buffers of one matrix instance type, kept from product to product
// on each thread, so that products on several threads never share them.
struct Work {
  Mvec<float> acc;    // tadd: dense accumulator
  Mvec<RowSum> sums;  // tmrg: one slot per row
  Mvec<int> touched;  // tmrg: rows in order of first touch
  unsigned generation = 0;
  AVlist list;       // tlist
  TableIdx scratch;  // column positions of a sample under a remap
};

template <class TransTable>
Work& work() {
  static thread_local Work buffers;
  return buffers;
}

// Empties a product's output, keeping owned storage for reuse.
void clear_output(TableValIdx& out) {
  if (out.borrowed)
    out.free_all();
  else
    out.set_nitems(0);
}

}  // namespace

// ------------------------------------------------------------------ AVlist

template <class Column>
void AVlist::copy(const Column& column, double w) {
  int m = column.nitems;
  nodes.set_nitems(m);
  for (int i = 0; i < m; i++) {
    elem<ElemValIdx>& node = nodes[i];
    node.index = column[i].index;
    node.value = static_cast<float>(w * entry_value(column[i]));
    node.next = i + 1 < m ? i + 1 : -1;
  }
  head = m > 0 ? 0 : -1;
}

template <class Column>
void AVlist::merge(const Column& column, double w) {
  int m = column.nitems;
  if (m == 0) return;
  if (nodes.nitems == 0) {
    copy(column, w);
    return;
  }
  int n = nodes.nitems;
  if (nodes.nalloc < n + m) nodes.resize(n + 8 * m);
  elem<ElemValIdx>* nd = nodes.data;
  int prev = -1, cur = head, j = 0;
  while (cur != -1 && j < m) {
    int index = column[j].index;
    if (nd[cur].index < index) {
      prev = cur;
      cur = nd[cur].next;
    } else if (nd[cur].index == index) {
      nd[cur].value = static_cast<float>(nd[cur].value + w * entry_value(column[j]));
      j++;
    } else {  // link a new node in before cur
      nd[n].index = index;
      nd[n].value = static_cast<float>(w * entry_value(column[j]));
      nd[n].next = cur;
      if (prev == -1)
        head = n;
      else
        nd[prev].next = n;
      prev = n++;
      j++;
    }
  }
  for (; j < m; j++) {  // the rest of the column goes after the last node
    nd[n].index = column[j].index;
    nd[n].value = static_cast<float>(w * entry_value(column[j]));
    nd[n].next = -1;
    nd[prev].next = n;
    prev = n++;
  }
  nodes.nitems = n;
}

int AVlist::check_seq() const {
  int seen = 0;
  for (int cur = head, last = INT_MIN; cur != -1; cur = nodes[cur].next) {
    if (cur < 0 || cur >= nodes.nitems || (seen > 0 && nodes[cur].index <= last))
      ZDEvent::abort_err("AVlist::check_seq", "wrong seq order");
    last = nodes[cur].index;
    seen++;
  }
  return seen;
}

void AVlist::dump(TableValIdx& out) const {
  int seen = check_seq();
  if (seen < nodes.nitems)
    ZDEvent::user_input_err("AVlist::dump", "List of %d elements: only %d seen\n", nodes.nitems,
                            seen);
  out.set_nitems(nodes.nitems);
  int k = 0;
  for (int cur = head; cur != -1; cur = nodes[cur].next)
    out[k++] = ElemValIdx{nodes[cur].index, nodes[cur].value};
}

template void AVlist::copy(const TableIdx&, double);
template void AVlist::copy(const TableValIdx&, double);
template void AVlist::merge(const TableIdx&, double);
template void AVlist::merge(const TableValIdx&, double);
template void AVlist::merge(const TransposeMatrix<ElemIdx, TableIdx>::Column&, double);
template void AVlist::merge(const TransposeMatrix<ElemValIdx, TableValIdx>::Column&, double);

// --------------------------------------------------------- TransposeMatrix

template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::store(Mvec<TransTable>& rows, bool compact) {
  long long width = 0;  // number of columns the rows reach
  long long entries = 0;
  const StumpData* first_stump = rows.nitems > 0 ? rows[0].stump : nullptr;
  if (first_stump) {
    const Mvec<int>& offsets = first_stump->offsets;
    width = offsets.nitems > 0 ? offsets[offsets.nitems - 1] : 0;
  } else {
    // The largest index rather than the last one: an unsorted row must not
    // reach past the columns.
    for (const TransTable& row : rows) {
      entries += row.nitems;
      for (int i = 0; i < row.nitems; i++)
        width = std::max(width, static_cast<long long>(row_index(row, i)) + 1);
    }
  }
  starts.free_all();
  remap.free_all();
  // Indices far beyond the number of entries would make mostly empty columns
  // (up to 2^31 of them): then only the used columns are made, with the remap
  // that compaction would give them, and the products stay the same.
  const bool used_only = !first_stump && width > 4 * entries + (1 << 20);
  if (used_only) {
    for (const TransTable& row : rows)
      for (int i = 0; i < row.nitems; i++)
        if (row_index(row, i) >= 0) remap.append(row_index(row, i));
    std::sort(remap.begin(), remap.end());
    remap.set_nitems(static_cast<int>(std::unique(remap.begin(), remap.end()) - remap.begin()));
    remap.compress();
    width = remap.nitems;
  }
  const int ncols = static_cast<int>(std::max(width, 0LL));
  ZDEvent::trace("Creating a transpose table with %d columns and %d depth\n", ncols, rows.nitems);

  // Column c gets (r, value) for every entry of row r at column c: bin b of a
  // stump position j sets the b one-hot columns from offsets[j]; a plain row's
  // index is its column (or its position in remap). A negative index can match
  // no sample feature and gets no column (nor does a plain row's index beyond
  // the bins of stump rows).
  const Mvec<int>& used = remap;
  auto for_each_entry = [ncols, used_only, &used](const TransTable& row, auto&& visit) {
    if (row.stump) {
      const Mvec<int>& offsets = row.stump->offsets;
      for (int j = 0; j < row.nitems && j < offsets.nitems; j++) {
        int from = std::max(offsets[j], 0);
        int to = std::min(static_cast<long long>(offsets[j]) + row[j].index,
                          static_cast<long long>(ncols));
        for (int c = from; c < to; c++) visit(c, 1.0f);
      }
    } else {
      for (int i = 0; i < row.nitems; i++) {
        int c = row_index(row, i);
        if (c < 0) continue;
        if (used_only)
          c = static_cast<int>(std::lower_bound(used.begin(), used.end(), c) - used.begin());
        if (c < ncols) visit(c, row_value(row, i));
      }
    }
  };
  // The columns are laid out one after the other in `storage`: counted
  // first, then filled; a row repeating a feature leaves a gap at the end of
  // the column, closed afterwards.
  starts.set_nitems(ncols + 1);
  std::fill(starts.begin(), starts.end(), 0);
  for (const TransTable& row : rows) for_each_entry(row, [&](int c, float) { starts[c + 1]++; });
  for (int c = 0; c < ncols; c++) starts[c + 1] += starts[c];
  storage.free_all();
  storage.set_nitems(starts[ncols]);
  Mvec<int> next(starts);
  TransElem* slots = storage.data;
  bool all_increasing = !used_only;
  for (int r = 0; r < rows.nitems && all_increasing; r++)
    all_increasing = !rows[r].stump && strictly_increasing(rows[r]);
  if (all_increasing) {
    scatter_in_bands(rows, next);
  } else {
    for (int r = 0; r < rows.nitems; r++) {
      TransTable& row = rows[r];
      // A row whose entries are known to fall in distinct columns is scattered
      // without reading the columns' last slots, which are far apart.
      if (!row.stump && strictly_increasing(row))
        for_each_entry(
            row, [&](int c, float value) { slots[next[c]++] = column_entry(slots, r, value); });
      else
        for_each_entry(row,
                       [&](int c, float value) { place(slots, starts[c], next[c], r, value); });
    }
  }
  for (TransTable& row : rows) row.free_all();
  bool gaps = false;
  for (int c = 0; c < ncols && !gaps; c++) gaps = next[c] != starts[c + 1];
  if (gaps) {
    int filled = 0;
    for (int c = 0; c < ncols; c++) {
      const int from = starts[c];
      starts[c] = filled;
      std::copy(storage.data + from, storage.data + next[c], storage.data + filled);
      filled += next[c] - from;
    }
    starts[ncols] = filled;
    storage.set_nitems(filled);
    storage.compress();
  }
  nrows = rows.nitems;
  if (compact) try_compact();

  int smallest = 10000000, largest = 0;
  long long total = 0;
  for (int c = 0; c < ncolumns(); c++) {
    const int size = starts[c + 1] - starts[c];
    smallest = std::min(smallest, size);
    largest = std::max(largest, size);
    total += size;
  }
  double mean = ncolumns() > 0 ? static_cast<double>(total) / ncolumns() : 0.0;
  ZDEvent::trace("Average column size is %d<=%g<=%d\n", smallest, mean, largest);
}

// Scatters plain rows whose indices strictly increase, all below ncolumns():
// a band of columns at a time, every row's entries in the band before the
// next band. The band's slots and offsets then stay in cache, where a whole
// row at once would write all over the storage. Each column still receives
// its rows in increasing order.
template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::scatter_in_bands(const Mvec<TransTable>& rows,
                                                              Mvec<int>& next) {
  constexpr int kBandEntries = 1 << 17;  // 1 MiB of slots for 8-byte entries
  const int ncols = ncolumns();
  TransElem* slots = storage.data;
  Mvec<int> pos(rows.nitems);  // each row's first entry not yet scattered
  for (int r = 0; r < rows.nitems; r++) {
    int i = 0;
    while (i < rows[r].nitems && row_index(rows[r], i) < 0) i++;  // no column
    pos[r] = i;
  }
  for (int lo = 0; lo < ncols;) {
    int hi = lo + 1;
    while (hi < ncols && starts[hi] - starts[lo] < kBandEntries) hi++;
    for (int r = 0; r < rows.nitems; r++) {
      const TransTable& row = rows[r];
      int i = pos[r];
      for (int c; i < row.nitems && (c = row_index(row, i)) < hi; i++)
        slots[next[c]++] = column_entry(slots, r, row_value(row, i));
      pos[r] = i;
    }
    lo = hi;
  }
}

template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::try_compact() {
  const int old = ncolumns();
  int kept = 0;
  for (int c = 0; c < old; c++) kept += starts[c + 1] > starts[c];
  if (2 * kept > old) return;
  // Empty columns hold no entries: dropping them only drops their offsets.
  const bool remapped = remap.nitems > 0;
  if (!remapped) remap.set_nitems(kept);
  int pos = 0;
  for (int c = 0; c < old; c++) {
    if (starts[c + 1] == starts[c]) continue;
    remap[pos] = remapped ? remap[c] : c;
    starts[pos++] = starts[c];
  }
  starts[pos] = starts[old];
  ZDEvent::trace("Compressed matrix %d from %d\n", kept, old);
  remap.set_nitems(kept);
  remap.compress();
  starts.set_nitems(kept + 1);
  starts.compress();
}

template <class TransElem, class TransTable>
const TableIdx& TransposeMatrix<TransElem, TransTable>::apply_remap(const TableIdx& x,
                                                                    TableIdx& scratch) const {
  if (remap.nitems == 0) return x;
  scratch.set_nitems(0);
  // remap increases: the walk's next stop is a binary search in what is left.
  const int* begin = remap.data;
  const int* end = remap.data + remap.nitems;
  const int* k = begin;
  for (const ElemIdx& e : x) {
    k = std::lower_bound(k, end, e.index);
    if (k == end) break;
    if (*k == e.index) scratch.append(ElemIdx{static_cast<int>(k++ - begin)});
  }
  return scratch;
}

template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::transpose_product_add(const TableIdx& x,
                                                                   TableValIdx& out) const {
  const TableIdx& y = apply_remap(x, work<TransTable>().scratch);
  if (!out.sparse) ZDEvent::user_input_err(kProductLabel, "should not be used on non sparse data");
  clear_output(out);
  switch (method) {
    case TMUL_ADD:
      tadd(y, out);
      break;
    case TMUL_MERGE:
      tmrg(y, out);
      break;
    case TMUL_LIST:
      tlist(y, out);
      break;
    default:
      ZDEvent::user_input_err(kProductLabel, "unknown column combination algorithm\n");
  }
}

template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::tadd(const TableIdx& x, TableValIdx& out) const {
  clear_output(out);
  out.sparse = true;
  if (x.nitems == 0) return;
  Mvec<float>& acc = work<TransTable>().acc;
  acc.set_nitems(nrows);
  std::fill(acc.begin(), acc.end(), 0.0f);
  for (const ElemIdx& f : x) {
    if (static_cast<unsigned>(f.index) >= static_cast<unsigned>(ncolumns())) continue;
    for (const TransElem& e : column(f.index)) acc[e.index] += entry_value(e);
  }
  out.resize(nrows);
  for (int r = 0; r < nrows; r++)
    if (acc[r] != 0.0f) out.append(ElemValIdx{r, acc[r]});
  out.compress();
}

// Gives, row by row, exactly the sums of the running merge
//   result <- result + 1.0 * column f   for f = last feature .. first
// (TableValIdx::merge: a row's first value is taken as stored, each later one
// is added to it), but accumulates into a slot per row, so that the cost is
// that of the touched columns and of the result. The merge adds two floats in
// double and rounds the sum to float; a float addition gives the same value,
// since a double holds more than twice the bits of a float.
template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::tmrg(const TableIdx& x, TableValIdx& out) const {
  clear_output(out);
  out.mult = out.sqnorm = 1.0f;
  out.stump = nullptr;
  out.sparse = true;
  out.binary = false;
  // The columns of a sample are independent loads: fetch their offsets, then
  // their entries, before the dependent accumulation walks them.
  const unsigned ncols = static_cast<unsigned>(ncolumns());
  const int* start = starts.data;
  const TransElem* entries = storage.data;
  for (int i = 0; i < x.nitems; i++)
    if (static_cast<unsigned>(x[i].index) < ncols) __builtin_prefetch(start + x[i].index);
  for (int i = 0; i < x.nitems; i++)
    if (static_cast<unsigned>(x[i].index) < ncols) __builtin_prefetch(entries + start[x[i].index]);
  auto for_each_entry = [&](auto visit) {
    for (int i = x.nitems - 1; i >= 0; i--) {
      unsigned f = static_cast<unsigned>(x[i].index);
      if (f >= ncols) continue;
      for (const TransElem *e = entries + start[f], *end = entries + start[f + 1]; e != end; e++)
        visit(e->index, entry_value(*e));
    }
  };

  // With few rows every slot starts at -0, which added to any float gives
  // that float, so that a row's first value needs no test; the touched rows
  // are then collected by a scan of them all.
  constexpr int kFewRows = 256;
  if (nrows <= kFewRows) {
    float sums[kFewRows];
    bool touched[kFewRows];
    std::fill(sums, sums + nrows, -0.0f);
    std::fill(touched, touched + nrows, false);
    for_each_entry([&](int r, float value) {
      sums[r] += value;
      touched[r] = true;
    });
    out.resize(nrows);
    int n = 0;
    for (int r = 0; r < nrows; r++) {
      out.data[n] = ElemValIdx{r, sums[r]};
      n += touched[r];
    }
    out.set_nitems(n);
    return;
  }

  // Otherwise a slot counts as touched once its stamp is this product's, so
  // that the slots never need clearing, and the touched rows are ordered at
  // the end.
  Work& wk = work<TransTable>();
  wk.sums.resize(nrows);  // new slots hold stamp 0, never a current generation
  wk.touched.resize(nrows);
  if (++wk.generation == 0) {
    for (int r = 0; r < wk.sums.nalloc; r++) wk.sums[r].stamp = 0;
    wk.generation = 1;
  }
  const unsigned generation = wk.generation;
  RowSum* sums = wk.sums.data;
  int* touched = wk.touched.data;
  int ntouched = 0, lo = INT_MAX, hi = -1;
  for_each_entry([&](int r, float value) {
    RowSum& slot = sums[r];
    if (slot.stamp == generation) {
      slot.sum += value;
    } else {
      slot.stamp = generation;
      slot.sum = value;
      touched[ntouched++] = r;
      lo = std::min(lo, r);
      hi = std::max(hi, r);
    }
  });
  out.set_nitems(ntouched);
  if (ntouched == 0) return;
  ElemValIdx* o = out.data;
  // Rows come out in increasing order: by a scan of the slots when the
  // touched rows are dense in their span, else by sorting them.
  if (static_cast<long long>(hi) - lo < 16LL * ntouched) {
    for (int r = lo; r <= hi; r++)
      if (sums[r].stamp == generation) *o++ = ElemValIdx{r, sums[r].sum};
  } else {
    std::sort(touched, touched + ntouched);
    for (int k = 0; k < ntouched; k++) o[k] = ElemValIdx{touched[k], sums[touched[k]].sum};
  }
}

template <class TransElem, class TransTable>
void TransposeMatrix<TransElem, TransTable>::tlist(const TableIdx& x, TableValIdx& out) const {
  AVlist& list = work<TransTable>().list;
  list.clear();
  for (int i = x.nitems - 1; i >= 0; i--) {
    unsigned f = static_cast<unsigned>(x[i].index);
    if (f < static_cast<unsigned>(ncolumns())) list.merge(column(static_cast<int>(f)), 1.0);
  }
  clear_output(out);
  list.dump(out);
}

template class TransposeMatrix<ElemIdx, TableIdx>;
template class TransposeMatrix<ElemValIdx, TableValIdx>;
