#include "ZDdata_field.h"

#include <algorithm>
#include <climits>
#include <cstdio>

#include "ZDutil_event.h"
#include "ZDutil_sys.h"
#include "ZDutil_uhandler.h"

namespace {

const char kLoadLabel[] = "IOFieldData::load_data";

// Empties a sample slot for reading: a view is detached from its source (a
// borrowed array cannot grow) and the header is reset.
void reset_slot(TableIdx& v) {
  if (v.borrowed) v.free_all();
  v.set_nitems(0);
  v.mult = 1.0f;
  v.sqnorm = 1.0f;
  v.stump = nullptr;
}

// Records, per stump position, the largest bin seen so far plus one.
void record_levels(const TableIdx& v, Mvec<int>& levels) {
  int old = levels.nitems;
  if (old < v.nitems) {
    levels.set_nitems(v.nitems);
    std::fill(levels.begin() + old, levels.end(), 0);
  }
  // A bin of INT_MAX stays INT_MAX levels: too many for the stump tables anyway.
  for (int k = 0; k < v.nitems; k++)
    levels[k] = std::max(levels[k], v[k].index < INT_MAX ? v[k].index + 1 : INT_MAX);
}

}  // namespace

void check_sample_position(const char* label, int s, int n) {
  if (s < 0 || s >= n)
    ZDEvent::user_input_err(label, "Sample position %d is out of range: %d samples\n", s, n);
}

void make_view(TableIdx& view, const TableIdx& src) {
  view.borrow(src);
  view.mult = src.mult;
  view.sqnorm = src.sqnorm;
  view.stump = src.stump;
}

void FieldData::load_data(Mvec<int>& linenums, const char* path) {
  const bool gz = parms.zlib.value;
  InputDataHandler& handler = parms.handler;
  TableIdx scratch;
  ZDIO io;

  if (linenums.nitems == 0) {
    io.force_open(path, "r", gz);
    int n = 0;
    while (handler.Read(io, scratch, path, n)) n++;
    io.clean_close();
    linenums.set_nitems(n);
    for (int k = 0; k < n; k++) linenums[k] = k;
  }

  io.force_open(path, "r", gz);
  const int b = nsamples;
  const int n = linenums.nitems;
  nsamples = b + n;
  samples.set_nitems(nsamples);
  Mvec<int> levels;  // bins per stump position, for bstump data
  int r = -1;        // last line read
  int filled = 0;
  bool more = true;
  for (int j = 0; j < n && more; j++) {
    const int t = linenums[j];
    if (t < 0)
      ZDEvent::user_input_err(kLoadLabel, "%s: negative line number %d in the line list\n", path,
                              t);
    while (more && r + 1 < t) {
      more = handler.Read(io, scratch, path, r + 1);
      r++;
    }
    if (!more) break;
    TableIdx& v = samples[b + j];
    if (r + 1 == t) {
      reset_slot(v);
      if (!handler.Read(io, v, path, t)) break;
      if (v.stump) record_levels(v, levels);
      r++;
      if (j % 1000 == 0 && ZDEvent::verbose > 1) ZDEvent::trace("%d.", j);
      if (ZDEvent::verbose > 2) ZDEvent::trace(".");
    } else {
      // A line already read (t <= r, so j > 0): share the previous sample.
      make_view(v, samples[b + j - 1]);
    }
    filled = j + 1;
  }
  if (filled < n)
    ZDEvent::memory_or_implement_err(
        kLoadLabel, "%s: Could only read %d samples out of a list that had %d samples\n", path,
        filled, n);

  if (ZDEvent::pedantic && handler.Read(io, scratch, path, r + 1)) {
    char desc[160];
    int k = scratch.nitems;
    int len = snprintf(desc, sizeof desc, "Data with %d features. ", k);
    if (k > 0)
      snprintf(desc + len, sizeof desc - len, "First is %d:%g . Last is %d:%g \n", scratch[0].index,
               1.0, scratch[k - 1].index, 1.0);
    ZDEvent::pedantic_err(kLoadLabel, "File %s has too many lines\n%s", path, desc);
  }
  ZDEvent::trace("%s: Loaded  data\n", path);
  ZDEvent::trace("%d (total %d) userdata examples read\n", n, nsamples);
  io.clean_close();

  if (nsamples > 0 && samples[0].stump) {
    handler.update_stump(levels, parms.refer_name.c_str());
    parms.stumps.values = handler.ranges;
  }

  int lo = 9999999, hi = -1;
  for (int i = b; i < nsamples; i++) {
    TableIdx& v = samples[i];
    parms.normalize_samp(v);
    if (v.nitems > 0) {
      lo = std::min(lo, v[0].index);
      hi = std::max(hi, v[v.nitems - 1].index);
    }
  }
  ZDEvent::trace("Features indexes range from %d to %d\n", lo, hi);
}

void FieldData::restrict_examples_to_veclist(Mvec<TableIdx>& src, const Mvec<int>& p, bool copy) {
  nsamples = p.nitems;
  samples.set_nitems(nsamples);
  for (int j = 0; j < nsamples; j++) {
    check_sample_position("FieldData::restrict_examples_to_veclist", p[j], src.nitems);
    TableIdx& v = samples[j];
    if (copy) {
      if (v.borrowed) v.free_all();
      v = src[p[j]];
    } else {
      make_view(v, src[p[j]]);
    }
    // Stump vectors refer to the tables of the field that holds them.
    if (v.stump) v.stump = &parms.handler;
  }
  multipliers.set_nitems(0);
  transposer = TransposeMatrix<ElemIdx, TableIdx>();
}

void FieldData::set_dpline(TableValIdx& out, const TableIdx& x, const Mvec<int>& p) const {
  if (out.borrowed) out.free_all();
  out.sparse = true;
  if (!transposer.empty()) {
    transposer.transpose_product_add(x, out);
  } else {
    out.set_nitems(0);
    const int n = p.nitems > 0 ? p.nitems : nsamples;
    for (int k = 0; k < n; k++) {
      int j = k;
      if (p.nitems > 0) {
        j = p[k];
        check_sample_position("FieldData::set_dpline", j, nsamples);
      }
      double d = x.dot_prod(samples[j]);
      if (d != 0.0) out.append(ElemValIdx{j, static_cast<float>(d)});
    }
  }
  if (parms.norm.value) out.mul(multipliers, x.mult);
}

void FieldData::set_multipliers(const Mvec<int>& sel, bool packed) {
  const bool all = sel.nitems == 0;
  const int n = all ? nsamples : sel.nitems;
  ZDEvent::trace("Computing multiplier for %d examples\n", n);
  multipliers.set_nitems(n);
  multipliers.sparse = true;
  multipliers.binary = false;
  for (int k = 0; k < n; k++) {
    int s = k;
    if (!all) {
      s = sel[k];
      check_sample_position("FieldData::set_multipliers", s, nsamples);
    }
    multipliers[k] = ElemValIdx{packed ? k : s, samples[s].mult};
  }
}
