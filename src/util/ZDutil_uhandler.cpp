#include "ZDutil_uhandler.h"

#include "ZDutil_sys.h"

namespace {

inline bool is_separator(char c) {
  return c == ' ' || c == '\t' || c == '\n';
}

// Lines are read into one buffer reused from line to line; a buffer grown by
// an exceptionally long line is given back instead of being kept for good.
const int kKeptLineBuffer = 1 << 20;

// Limit of the total number of stump levels of a field (sum over positions).
const int kMaxStumpLevels = 1 << 20;

}  // namespace

bool TableIdx::load(ZDIO& file) {
  static thread_local string_t line;
  if (!file.scanline(line)) return false;
  set_nitems(0);
  bool parsed = true;
  char* p = line.data;
  while (true) {
    while (is_separator(*p)) p++;
    if (!*p) break;
    char* token = p;
    while (*p && !is_separator(*p)) p++;
    char end = *p;
    *p = 0;  // the token is converted in place, then the line is restored
    int index;
    if (!ZDString::atol_check(token, index)) {
      ZDEvent::warn("Entry [%s] does not follow <index> syntax\n", token);
      string_t bad(token);
      *p = end;
      ZDEvent::warn("Cannot parse token [%s] starting with ASCII %d at position %d of line:\n%s\n",
                    bad.c_str(), static_cast<int>(static_cast<signed char>(bad[0])), nitems,
                    line.c_str());
      parsed = false;
      break;
    }
    *p = end;
    append(ElemIdx{index});
  }
  if (parsed && nitems == 0) append(ElemIdx{0});
  if (line.nalloc > kKeptLineBuffer) line.free_all();
  return parsed;
}

bool InputDataHandler::Read(ZDIO& file, TableIdx& v, const char*, int) {
  if (datatype == FD_BSTUMP) {
    v.stump = this;
  } else {
    v.init(datatype);
    v.stump = nullptr;
  }
  if (!v.load(file)) return false;
  if (v.stump)
    v.own_compress();  // one bin per stump position: the order is meaningful
  else
    v.sort_feat();
  return true;
}

void InputDataHandler::update_stump(const Mvec<int>& levels, const char* field) {
  if (levels.nitems == 0 || ranges.nitems > 0) {
    ZDEvent::trace("Using old stump range\n");
    return;
  }
  int n = levels.nitems;
  // A position without a level has no bin to be in, and its scale would be
  // 1 / (levels - 1) of a count that need not even be representable.
  for (int k = 0; k < n; k++)
    if (levels[k] < 1)
      ZDEvent::data_input_err("InputDataHandler::update_stump",
                              "stump position %d of field %s has %d levels, fewer than 1\n", k,
                              field, levels[k]);
  // Each level of each position is a column of the field's index: the total
  // must stay far below what a handful of bin numbers could ask for.
  long long levels_total = 0;
  for (int k = 0; k < n; k++) levels_total += levels[k];
  if (levels_total > kMaxStumpLevels)
    ZDEvent::data_input_err("InputDataHandler::update_stump",
                            "stump bins ask for %lld levels, more than the %d allowed\n",
                            levels_total, kMaxStumpLevels);
  ZDEvent::trace("New stump range: ");
  ranges.set_nitems(n);
  offsets.set_nitems(n + 1);
  scales.set_nitems(n);
  int total = 0;
  for (int k = 0; k < n; k++) {
    ZDEvent::trace("%d ", levels[k]);
    ranges[k] = levels[k];
    offsets[k] = total;
    total += levels[k];
    scales[k] = 1.0 / (levels[k] - 1);
  }
  offsets[n] = total;
  ZDEvent::trace("\n");
}
