#include "Zanda_api.h"

#include <algorithm>

#include "ZDmdata_api.h"
#include "ZDmult_classnames.h"
#include "ZDutil_parm.h"
#include "ZDutil_sys.h"

namespace {

// Largest nbest that rank_best handles.
constexpr int kMaxPartialRank = 16;

// Writes the k best entries of the heapsort's ranking of the n scores
// transform(outs[i]) into outs[0..k-1] and ranks[0..k-1] without sorting,
// when they are known: when the k + 1 largest values are all different and
// none is NaN, every non-increasing order of the values starts with the same
// k entries, ties further down cannot reach them. `transform` must never
// reverse two scores; the k + 1 largest raw scores then give the k + 1
// largest values, and only they are transformed. Returns false, changing
// nothing, otherwise.
template <class Transform>
bool rank_best(double* outs, int* ranks, int n, int k, Transform transform) {
  if (k > kMaxPartialRank) return false;
  double best[kMaxPartialRank + 1];
  int who[kMaxPartialRank + 1];
  int m = 0;
  for (int i = 0; i < n; i++) {
    double v = outs[i];
    if (v != v) return false;
    if (m == k + 1 && !(v > best[k])) continue;
    int p = m < k + 1 ? m++ : k;
    for (; p > 0 && v > best[p - 1]; p--) {
      best[p] = best[p - 1];
      who[p] = who[p - 1];
    }
    best[p] = v;
    who[p] = i;
  }
  for (int i = 0; i < m; i++) best[i] = transform(best[i]);
  for (int i = 1; i < m; i++)
    if (!(best[i - 1] > best[i])) return false;
  for (int i = 0; i < k; i++) {
    outs[i] = best[i];
    ranks[i] = who[i];
  }
  return true;
}

double unchanged(double x) {
  return x;
}

}  // namespace

ZandaModelAPI::ZandaModelAPI() : priv(new MultiCategData), super(new MultiSuper) {}

ZandaModelAPI::~ZandaModelAPI() {
  delete priv;
  delete super;
}

void ZandaModelAPI::load_mdl_parms(const char* model, FILE* trace) {
  ZDEvent::tracefile = trace;
  string_t dir(model);
  dir.concat("/");
  string_t path = dir + "zanda.parm";

  AnyParmListTable table;
  table.base_dir = dir;
  table.load_parameter_table(path.c_str());

  super->init_categs(table);
  Mvec<const char*> names;
  super->get_classifier_names(names);
  priv->load_mdl_parms(table, names, true);
  super->set_classifier_strings(names);
}

int ZandaModelAPI::get_nfiers() const {
  return priv->get_nfiers();
}

const char* ZandaModelAPI::classifier_name(int i) const {
  return super->classifier_strings[i].c_str();
}

namespace {

// Sorts a[0..n) ascending. A line's few dozen indices come in no order, so a
// comparison sort mispredicts about every other branch; below 64 each value
// is placed at its rank (the values below it, and the equal ones before it),
// counted without branches.
void sort_ascending(int* a, int n) {
  constexpr int kSmall = 64;
  if (n > kSmall) {
    std::sort(a, a + n);
    return;
  }
  int sorted[kSmall];
  for (int i = 0; i < n; i++) {
    const int v = a[i];
    int rank = 0;
    for (int j = 0; j < i; j++) rank += a[j] <= v;
    for (int j = i + 1; j < n; j++) rank += a[j] < v;
    sorted[rank] = v;
  }
  std::copy(sorted, sorted + n, a);
}

}  // namespace

bool ZandaModelAPI::test_samp(int* indices, int n, double* outs, int* ranks, int nbest) const {
  // Ascending and repeat-free in place: the sample borrows the caller's array.
  for (int k = 0; k < n; k++)
    if (indices[k] < 0)
      ZDEvent::data_input_err("TableValIdx::sort_feat", "Negative index %d", indices[k]);
  sort_ascending(indices, n);
  n = static_cast<int>(std::unique(indices, indices + n) - indices);

  // Every field that the model reads: the indices are field 0's, any further
  // field is empty. The fields are kept from call to call on each thread.
  static thread_local Mvec<TableIdx> samp;
  samp.set_nitems(std::max(1, priv->get_nsamp_fields()));
  samp[0].borrow(reinterpret_cast<ElemIdx*>(indices), n);
  Mvec<double> scores;
  scores.borrow(outs, get_nfiers());
  // The transform keeps the raw scores' order, so the printed best entries
  // can be chosen among the raw scores and only they transformed; a tie
  // that only the transform makes falls back to transforming all.
  priv->test_samp(samp, scores, SIGMOID_RAW);
  if (ranks && nbest >= 0 && nbest < get_nfiers() &&
      rank_best(outs, ranks, get_nfiers(), nbest, logistic))
    return true;
  apply_sigmoid(scores, SIGMOID_LOGISTIC);
  rank(outs, ranks, nbest);
  return true;
}

bool ZandaModelAPI::test_samp(const char* line, double* outs, int* ranks) const {
  ZDIO reader;
  reader.open_string(line);
  Mvec<double> scores;
  scores.borrow(outs, get_nfiers());
  bool read = priv->unifield_test_samp(reader, scores, SIGMOID_LOGISTIC);
  reader.clean_close();
  if (read) rank(outs, ranks);
  return read;
}

bool ZandaModelAPI::test_samp(FILE* fp, double* outs, int* ranks) const {
  // The stream belongs to the caller: it is read, never closed.
  ZDIO reader;
  reader.stream = fp;
  reader.borrowed = true;
  Mvec<double> scores;
  scores.borrow(outs, get_nfiers());
  bool read = priv->unifield_test_samp(reader, scores, SIGMOID_LOGISTIC);
  if (read) rank(outs, ranks);
  return read;
}

void ZandaModelAPI::rank(double* outs, int* ranks, int nbest) const {
  if (!ranks) return;
  int n = get_nfiers();
  if (nbest >= 0 && nbest < n && rank_best(outs, ranks, n, nbest, unchanged)) return;
  for (int k = 0; k < n; k++) ranks[k] = k;
  Mvec<double> values;
  values.borrow(outs, n);
  Mvec<int> idx;
  idx.borrow(ranks, n);
  sort_double_down(values, idx);
}

void sort_double_down(Mvec<double>& values, Mvec<int>& idx) {
  int n = values.size();
  if (n < 2) return;
  int l = n / 2;
  int ir = n - 1;
  for (;;) {
    double x;
    int xi;
    if (l > 0) {
      l--;
      x = values[l];
      xi = idx[l];
    } else {
      x = values[ir];
      xi = idx[ir];
      values[ir] = values[0];
      idx[ir] = idx[0];
      if (--ir == 0) {
        values[0] = x;
        idx[0] = xi;
        return;
      }
    }
    // Sift x down a heap whose top is its smallest value.
    int i = l;
    int j;
    while ((j = 2 * i + 1) <= ir) {
      if (j < ir && values[j + 1] < values[j]) j++;
      if (!(x > values[j])) break;
      values[i] = values[j];
      idx[i] = idx[j];
      i = j;
    }
    values[i] = x;
    idx[i] = xi;
  }
}
