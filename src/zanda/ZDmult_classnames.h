// Supervisors of a multi-category model: which class each binary classifier
// recognises, under which block name it is stored, and the class name that
// is shown for it.
#ifndef ZDMULT_CLASSNAMES_H
#define ZDMULT_CLASSNAMES_H

#include "ZDutil_parm.h"
#include "ZDutil_vec.h"

// One "supervisor" block. The category parameters share the model's list of
// class names and append unknown names to it. After loading, `label_kind`
// and `display_name` describe the classifier and `clf` is never empty.
class SupervisorParmList : public DeclaredParmList<SupervisorParmList> {
 public:
  ParmCateg positive;  // "p"
  ParmCateg negative;  // "n"
  ParmString clf;      // name of the classifier block
  ParmInt ntrain;
  ParmInt niter;
  ParmFloat prior;
  ParmFloat bin_err;
  // 0: no positive category; 1: positive against negative; 2: positive
  // against all others.
  int label_kind = 0;
  string_t display_name;  // "pos", "pos#neg", or empty without a positive category

  explicit SupervisorParmList(Mvec<string_t>* categories = nullptr);

  // Supervisors without a "clf" key get the names clf0, clf1, ... in the
  // order of the load.
  void special_prepro(ParmLoadState& load) override;
  // The block's own keys, in print order (see DeclaredParmList).
  template <class S, class V>
  static void declare(S& self, V&& visit);
};

extern template class DeclaredParmList<SupervisorParmList>;

// The supervisors of a model and the class-name string of every classifier.
class MultiSuper {
 public:
  Mvec<string_t> categories;             // class names in order of first mention
  Mvec<string_t> classifier_strings;     // element i is the name shown for classifier i
  Mvec<SupervisorParmList> supervisors;  // in file order

  MultiSuper() = default;
  MultiSuper(const MultiSuper&) = delete;  // supervisors point at `categories`
  MultiSuper& operator=(const MultiSuper&) = delete;

  // Reads every "supervisor" block of the table and clears it there. Returns
  // false (with a trace) when there is none.
  bool init_categs(AnyParmListTable& table);
  // names[i] = the classifier block name of supervisor i (owned here).
  void get_classifier_names(Mvec<const char*>& names) const;
  // Keeps the shown names: the supervisors' display names, or, without
  // supervisors, copies of `names`.
  void set_classifier_strings(const Mvec<const char*>& names);
};

#endif
