// Builders and readers of small sparse vectors for the tests.
#pragma once

#include <initializer_list>
#include <utility>
#include <vector>

#include "ZDutil_sparse.h"

namespace zdtest {

using Elems = std::vector<std::pair<int, float>>;
using Ints = std::vector<int>;

// A binary sparse vector of `indices`, in the order given.
inline TableIdx idx(std::initializer_list<int> indices) {
  TableIdx v;
  for (int i : indices) v.append(ElemIdx{i});
  return v;
}

// A valued sparse vector of (index, value) pairs, in the order given.
inline TableValIdx val(const Elems& elems) {
  TableValIdx v;
  for (const auto& e : elems) v.append(ElemValIdx{e.first, e.second});
  return v;
}

// The (index, value) pairs of any range of ElemValIdx.
template <class Entries>
Elems elems_of(const Entries& v) {
  Elems out;
  for (const ElemValIdx& e : v) out.emplace_back(e.index, e.value);
  return out;
}

// The indices of any range of ElemIdx.
template <class Entries>
Ints indices_of(const Entries& v) {
  Ints out;
  for (const ElemIdx& e : v) out.push_back(e.index);
  return out;
}

}  // namespace zdtest
