#include "ZDutil_sparse.h"

#include <cstdlib>

namespace {

// Value of element i of a binary or valued operand.
inline double value_at(const TableIdx&, int) {
  return 1.0;
}
inline double value_at(const TableValIdx& v, int i) {
  return v.binary ? 1.0 : v[i].value;
}

inline float rounded(double x) {
  return static_cast<float>(x);
}

}  // namespace

// ---------------------------------------------------------------- TableIdx

void TableIdx::init(int type) {
  if (type != FD_BSPARSE && type != FD_BSTUMP)
    ZDEvent::data_input_err("TableIdx::init", "Only bsparse datatype supported by binary ZANDA");
}

double TableIdx::dot_prod(const TableIdx& other) const {
  // A walk of a list against itself meets every item.
  if (!stump && &other == this) return nitems;
  if (!stump) {
    int i = 0, j = 0, common = 0;
    while (i < nitems && j < other.nitems) {
      int a = data[i].index, b = other.data[j].index;
      if (a == b) {
        common++;
        i++;
        j++;
      } else if (a < b) {
        i++;
      } else {
        j++;
      }
    }
    return common;
  }
  if (!other.stump)
    ZDEvent::user_input_err("TableValIdx::dot_prod", "stump-nostump dotprod not implemented");
  int n = std::min(nitems, other.nitems);
  double sum = 0;
  if (stump->scales.nitems == 0) {
    for (int j = 0; j < n; j++) sum += std::min(data[j].index, other.data[j].index);
    return sum;
  }
  // Positions without a scale or a range have no bins to compare.
  n = std::min(n, std::min(stump->scales.nitems, stump->ranges.nitems));
  for (int j = 0; j < n; j++) {
    int dist = std::abs(data[j].index - other.data[j].index);
    sum += stump->scales[j] * (stump->ranges[j] - 1 - 2.0 * dist);
  }
  return sum;
}

bool TableIdx::overlap(const TableIdx& other) const {
  int i = 0, j = 0;
  while (i < nitems && j < other.nitems) {
    int a = data[i].index, b = other.data[j].index;
    if (a == b) return true;
    if (a < b)
      i++;
    else
      j++;
  }
  return false;
}

void TableIdx::copy(const TableValIdx& v) {
  if (stump) ZDEvent::user_input_err("TableIdx::copy", "not implemented yet");
  mult = v.mult;
  sqnorm = v.sqnorm;
  set_nitems(v.nitems);
  for (int i = 0; i < v.nitems; i++) data[i].index = v[i].index;
}

// ------------------------------------------------------------- TableValIdx

double TableValIdx::dot_prod(const TableIdx& x) const {
  double sum = 0;
  if (!x.stump) {
    if (!sparse) {
      for (const ElemIdx& e : x) {
        if (e.index >= nitems) break;
        if (e.index >= 0) sum += data[e.index].value;
      }
      return sum;
    }
    int i = 0, j = 0;
    while (i < nitems && j < x.nitems) {
      int a = data[i].index, b = x[j].index;
      if (a == b) {
        sum += data[i].value;
        i++;
        j++;
      } else if (a < b) {
        i++;
      } else {
        j++;
      }
    }
    return sum;
  }
  if (sparse)
    ZDEvent::user_input_err("TableValIdx::dot_prod", "product sparse/stump not implemented yet");
  const Mvec<int>& offsets = x.stump->offsets;
  int n = std::min(x.nitems, offsets.nitems);
  for (int j = 0; j < n; j++) {
    long long p = static_cast<long long>(offsets[j]) + x[j].index;
    if (p >= nitems) break;
    if (p >= 0) sum += data[p].value;
  }
  return sum;
}

double TableValIdx::dot_prod(const TableVal& t) const {
  double sum = 0;
  for (int i = 0; i < nitems; i++) {
    int idx = data[i].index;
    if (idx >= t.nitems) break;
    if (idx >= 0) sum += t[idx] * data[i].value;
  }
  return sum;
}

template <class B>
void TableValIdx::merge_walk(const TableValIdx& a, const B& b, double w) {
  resize(a.nitems + b.nitems);
  int n = 0, i = 0, j = 0;
  ElemValIdx* out = data;
  while (i < a.nitems && j < b.nitems) {
    int ia = a[i].index, ib = b[j].index;
    if (ia < ib) {
      out[n++] = a[i++];
    } else if (ia == ib) {
      out[n++] = ElemValIdx{ia, rounded(w * value_at(b, j) + a[i].value)};
      i++;
      j++;
    } else {
      out[n++] = ElemValIdx{ib, rounded(w * value_at(b, j))};
      j++;
    }
  }
  for (; i < a.nitems; i++) out[n++] = a[i];
  for (; j < b.nitems; j++) out[n++] = ElemValIdx{b[j].index, rounded(w * value_at(b, j))};
  nitems = n;
}

void TableValIdx::merge(const TableValIdx& other, double w) {
  if (other.nitems == 0) return;
  if (nitems == 0) {
    mult = other.mult;
    sqnorm = other.sqnorm;
    stump = other.stump;
    sparse = other.sparse;
    binary = other.binary;
    set_nitems(other.nitems);
    for (int i = 0; i < other.nitems; i++)
      data[i] = w == 1.0 ? other[i] : ElemValIdx{other[i].index, rounded(w * other[i].value)};
    return;
  }
  TableValIdx old;
  old.take_over(*this);
  const TableValIdx& b = &other == this ? old : other;
  merge_walk(old, b, w);
}

template <class B>
void TableValIdx::merge_pair(const TableValIdx& a, const B& b, double w) {
  if (this == &a || static_cast<const void*>(this) == static_cast<const void*>(&b)) {
    TableValIdx result;
    result.merge_pair(a, b, w);
    *this = result;
    return;
  }
  if (b.nitems == 0) {
    *this = a;
    return;
  }
  set_nitems(0);
  if (a.nitems == 0) {
    sparse = true;
    binary = false;
    mult = sqnorm = 1.0f;
  }
  merge_walk(a, b, w);
}

void TableValIdx::merge(const TableValIdx& a, const TableValIdx& b, double w) {
  merge_pair(a, b, w);
}

void TableValIdx::merge(const TableValIdx& a, const TableIdx& b, double w) {
  merge_pair(a, b, w);
}

void TableValIdx::add_sparse_to_dense(const TableValIdx& other, double w) {
  if (other.nitems > 0) {
    int last = other[other.nitems - 1].index;
    if (last + 1 > nitems) {
      int old = nitems;
      set_nitems(last + 1);
      for (int i = old; i < nitems; i++) data[i] = ElemValIdx{i, 0.0f};
    }
  }
  for (int j = 0; j < other.nitems; j++) {
    int idx = other[j].index;
    if (idx < 0 || idx >= nitems) continue;  // only an unsorted operand gets here
    data[idx].value = rounded(data[idx].value + w * value_at(other, j));
  }
}

namespace {

bool strictly_increasing(const TableValIdx& v) {
  for (int i = 1; i < v.nitems; i++)
    if (v[i - 1].index >= v[i].index) return false;
  return true;
}

}  // namespace

void TableValIdx::incr(const TableValIdx& other, double w) {
  binary = false;
  if (!sparse && !other.sparse) {
    int common = std::min(nitems, other.nitems);
    for (int i = 0; i < common; i++)
      data[i].value = rounded(data[i].value + w * value_at(other, i));
    if (other.nitems > nitems) {
      set_nitems(other.nitems);
      for (int i = common; i < nitems; i++)
        data[i] = ElemValIdx{i, rounded(w * value_at(other, i))};
    }
    return;
  }
  if (!sparse) {
    add_sparse_to_dense(other, w);
    return;
  }
  if (!other.sparse) {
    TableValIdx old;
    old.take_over(*this);
    mult = other.mult;
    sqnorm = other.sqnorm;
    stump = other.stump;
    sparse = false;
    set_nitems(other.nitems);
    for (int i = 0; i < other.nitems; i++)
      data[i] = ElemValIdx{other[i].index, rounded(w * other[i].value)};
    add_sparse_to_dense(old, 1.0);
    return;
  }
  // Both sparse: count the indices of other missing from this, make room for
  // them, then merge from the back so that every element moves once.
  const TableValIdx* src = &other;
  TableValIdx alias;
  if (&other == this) {
    alias = other;
    src = &alias;
  }
  // The merge from the back needs both index lists in increasing order;
  // vectors read from files need not be.
  if (nitems > 0 && !(strictly_increasing(*this) && strictly_increasing(*src)))
    ZDEvent::data_input_err("TableValIdx::incr",
                            "cannot add vectors whose indices are not in increasing order");
  int missing = 0;
  for (int i = 0, j = 0; j < src->nitems; j++) {
    while (i < nitems && data[i].index < (*src)[j].index) i++;
    if (i == nitems || data[i].index != (*src)[j].index) missing++;
  }
  int n = nitems, total = nitems + missing;
  if (total > nalloc) resize(std::max(total, 2 * nitems + 256));
  nitems = total;
  int i = n - 1, j = src->nitems - 1, k = total - 1;
  while (j >= 0) {
    int ib = (*src)[j].index;
    double add = w * value_at(*src, j);
    if (i >= 0 && data[i].index > ib) {
      data[k--] = data[i--];
    } else if (i >= 0 && data[i].index == ib) {
      data[k--] = ElemValIdx{ib, rounded(data[i].value + add)};
      i--;
      j--;
    } else {
      data[k--] = ElemValIdx{ib, rounded(add)};
      j--;
    }
  }
}

void TableValIdx::mul(const TableValIdx& other, double w) {
  if (!sparse || !other.sparse)
    ZDEvent::memory_or_implement_err("TableValIdx::mul", "only implemented for sparse so far");
  if (nitems == 0) return;
  if (other.nitems == 0) {
    set_nitems(0);
    return;
  }
  int j = 0;
  for (int i = 0; i < nitems; i++) {
    int idx = data[i].index;
    // other's indices increase, so when the entry before position idx is
    // below idx the walk passes every position up to it: start there (a
    // vector with one entry per position, like a field's multipliers, is
    // then met without walking).
    if (idx > j && idx <= other.nitems && other[idx - 1].index < idx) j = idx;
    while (j < other.nitems && other[j].index < idx) j++;
    if (j < other.nitems && other[j].index == idx)
      data[i].value = rounded(w * other[j].value * data[i].value);
    else
      data[i].value = 0.0f;
  }
}
