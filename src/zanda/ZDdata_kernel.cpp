#include "ZDdata_kernel.h"

#include <cmath>
#include <cstring>

#include "ZDutil_event.h"

namespace {

const char kCheckLabel[] = "KernelParmList::check_field_weights";
const char kLineLabel[] = "KernelVecData::set_kline";

// x^n for n >= 1 by repeated squaring, in the precision of T.
template <class T>
T ipow(T x, int n) {
  T r = 1;
  while (n > 0) {
    if (n & 1) r *= x;
    x *= x;
    n >>= 1;
  }
  return r;
}

// Refer names match when both are absent or both are equal texts.
bool same_name(const string_t& a, const string_t& b) {
  if (!a.data || !b.data) return !a.data && !b.data;
  return strcmp(a.data, b.data) == 0;
}

}  // namespace

// ---------------------------------------------------------------- KernelParmList

int KernelParmList::check_field_weights(const Mvec<FieldParmList>& data_fields) {
  single_field = -1;
  string_t text;
  Mvec<string_t>& names = fields.values;
  Mvec<double>& w = weights.values;
  const int nf = data_fields.nitems;
  if (nf == 0)
    ZDEvent::user_input_err(kCheckLabel, "No data fields when loading kernel\n%s", dump(text));
  if (names.nitems == 0)
    ZDEvent::user_input_err(kCheckLabel, "Kernel requires at list one field!\n%s", dump(text));
  if (w.nitems != names.nitems)
    ZDEvent::user_input_err(
        kCheckLabel, "Number of  field weights (%d) does not match number of fields names (%d)\n%s",
        w.nitems, names.nitems, dump(text));

  if (w.nitems == 1) {
    w[0] = 1.0;
  } else {
    for (int i = 0; i < w.nitems; i++)
      if (w[i] == 0.0)
        ZDEvent::user_input_err(kCheckLabel, "Field %d with NULL weight not allowed\n", i);
  }

  if (weights_sum_one.value) {
    double s = 0.0;
    for (double v : w) s += v;
    if (std::fabs(s - 1.0) > 1e-7) {
      ZDEvent::warn("Field weights do not sum up to 1: %g\n", s);
      for (double& v : w) v = s == 0.0 ? 1.0 / w.nitems : v / s;
    }
  }

  field_wts.set_nitems(nf);
  for (double& v : field_wts) v = 0.0;
  int npositive = 0, positive = -1;
  for (int i = 0; i < names.nitems; i++) {
    int f = 0;
    while (f < nf && !same_name(data_fields[f].refer_name, names[i])) f++;
    if (f == nf)
      ZDEvent::user_input_err(kCheckLabel, "Field names %s does not exist\n%s", names[i].c_str(),
                              dump(text));
    field_wts[f] = w[i];
    if (w[i] > 0.0) {
      npositive++;
      positive = f;
    }
  }
  single_field = npositive == 1 ? positive : -1;
  return single_field;
}

double KernelParmList::compute_knorm(const Mvec<TableIdx>& x) const {
  if (single_field >= 0) return x[single_field].sqnorm;
  double s = 0.0;
  for (int j = 0; j < field_wts.nitems; j++) s += x[j].sqnorm * field_wts[j];
  return s;
}

// ------------------------------------------------------------ KernelParmListComp

KernelParmListComp::KernelParmListComp(const KernelParmList& k)
    : type(k.get_kernel_type()),
      norm(k.norm.value),
      b(k.b.value),
      a(k.a.value),
      p(k.pow.value),
      c0(0.0) {
  c0 = prenorm_kernel(0.0);
}

int KernelParmListComp::degree() const {
  if (p == 1.0) return 1;
  return p > 2.0 ? static_cast<int>(std::ceil(p)) : 2;
}

double KernelParmListComp::prenorm_kernel(double d) const {
  switch (type) {
    case KT_POLY:
      return ipow(a * d + b, degree()) - c0;
    case KT_EXP:
      return std::exp((d - 1.0) * a) - c0;
    case KT_LINEAR:
      return d;
    case KT_QUADRATIC:
      return (d + b) * (d + b) - c0;
    default:
      ZDEvent::memory_or_implement_err("kernel_prenorm", "undefined kernel type %d", type);
  }
}

namespace {

// Applies the kernel function to every value of a line. For "exp" the value
// d is turned into d - half(j), half(j) being half the sum of the two squared
// norms of the compared vectors; powers are taken in single precision.
template <class Half>
void eval_line(const KernelParmListComp& comp, TableValIdx& kline, Half half) {
  const float af = static_cast<float>(comp.a);
  const float bf = static_cast<float>(comp.b);
  switch (comp.type) {
    case KT_POLY: {
      const int n = comp.degree();
      for (ElemValIdx& e : kline)
        e.value = static_cast<float>(ipow(af * e.value + bf, n) - comp.c0);
      break;
    }
    case KT_EXP:
      for (ElemValIdx& e : kline)
        e.value = static_cast<float>(std::exp((e.value - half(e.index)) * comp.a) - comp.c0);
      break;
    case KT_LINEAR:
      break;
    case KT_QUADRATIC:
      for (ElemValIdx& e : kline) {
        const float v = e.value + bf;
        e.value = static_cast<float>(v * v - comp.c0);
      }
      break;
    default:
      ZDEvent::memory_or_implement_err(kLineLabel, "undefined kernel type %d", comp.type);
  }
}

}  // namespace

void KernelParmListComp::prenorm_kernel(TableValIdx& kline) const {
  // Normalised vectors: both squared norms are 1.
  eval_line(*this, kline, [](int) { return 1.0; });
}

void KernelParmListComp::base_kernel(TableValIdx& kline, const Mvec<double>& rknorms,
                                     double knorm) const {
  bool in_range = rknorms.nitems > 0;
  for (const ElemValIdx& e : kline) in_range = in_range && e.index >= 0 && e.index < rknorms.nitems;
  if (!in_range)
    ZDEvent::memory_or_implement_err("KernelParmListComp::base_kernel", "norm not allocated %d %d",
                                     rknorms.nitems, kline.nitems);
  eval_line(*this, kline, [&](int j) { return (rknorms[j] * rknorms[j] + knorm) / 2.0; });
}

// ----------------------------------------------------------------- KernelVecData

namespace {

// The kernel must have been compiled for the fields of the set it is used on.
void check_kernel_fields(const KernelParmList* k, const VecData& set) {
  if (!k) ZDEvent::memory_or_implement_err(kLineLabel, "support vectors without a kernel\n");
  if (k->field_wts.nitems != set.fields.nitems || k->single_field >= set.fields.nitems)
    ZDEvent::memory_or_implement_err(kLineLabel, "kernel of %d fields used on %d data fields\n",
                                     k->field_wts.nitems, set.fields.nitems);
}

}  // namespace

void KernelVecData::compute_rknorms() {
  check_kernel_fields(kparms, *this);
  rknorms.set_nitems(nsamples);
  Mvec<TableIdx> view;
  for (int i = 0; i < nsamples; i++) {
    get_samp(i, view);
    rknorms[i] = std::sqrt(kparms->compute_knorm(view));
  }
}

void KernelVecData::set_kline(TableValIdx& kline, const Mvec<TableIdx>& x) const {
  if (kline.borrowed) kline.free_all();
  kline.set_nitems(0);
  kline.sparse = true;
  if (nsamples == 0) return;
  check_kernel_fields(kparms, *this);
  const KernelParmList& k = *kparms;
  const KernelParmListComp comp(k);
  const int single = k.single_field;

  if (single >= 0 && fields[single].parms.norm.value) {
    fields[single].set_dpline(kline, x[single], linenums);  // cosines
    comp.prenorm_kernel(kline);
    return;
  }

  if (rknorms.nitems == 0) ZDEvent::user_input_err(kLineLabel, "rknorms must be precomputed");
  if (rknorms.nitems != nsamples)
    ZDEvent::memory_or_implement_err(kLineLabel, "%d norms for %d support vectors\n",
                                     rknorms.nitems, nsamples);
  const int first = single >= 0 ? single : 0;
  const int last = single >= 0 ? single : fields.nitems - 1;
  TableValIdx line;
  for (int f = first; f <= last; f++) {
    fields[f].set_dpline(line, x[f], linenums);
    if (comp.norm) {
      kline.merge(line, k.field_wts[f]);
    } else {
      for (ElemValIdx& e : line) e.value = static_cast<float>(e.value * k.field_wts[f]);
      kline.merge(line, 1.0);
    }
  }

  if (!comp.norm) {
    comp.base_kernel(kline, rknorms, k.compute_knorm(x));
    return;
  }
  const double s = std::sqrt(k.compute_knorm(x));
  for (ElemValIdx& e : kline)
    e.value = static_cast<float>(e.value * (1.0 / (rknorms[e.index] * s)));
  comp.prenorm_kernel(kline);
}
