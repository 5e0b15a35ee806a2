#include "ZDmult_classnames.h"

#include <cstring>

template <class S, class V>
void SupervisorParmList::declare(S& self, V&& visit) {
  visit(self.positive, nullptr,  // no category
        {"p", PARM_BASIC_INPUT, "Positive category",
         "This must the the same name as the one used in the label file"});
  visit(self.negative, nullptr,
        {"n", PARM_EXPERT_INPUT, "Negative category",
         "Should only be specified for 1vs1 classification. When it is not specified, we assume "
         "that the discrimination is against all non-positive examples (1 versus others). "});
  visit(self.clf, "",
        {"clf", PARM_FILE_NAME, "Name of corresponding remapping classifier",
         "If not specified, this file prefix is automatically constructed as 'clfN' where N is "
         "a class counter"});
  visit(self.ntrain, 0, {"ntrain", PARM_TRACE_OUTPUT, "number of training samples", ""});
  visit(self.niter, 0,
        {"niter", PARM_TRACE_OUTPUT, "number of iterations",
         "When computed during the validation phase, this gives an idea of the training time "
         "on the full dataset"});
  visit(self.prior, 0.0,
        {"prior", PARM_TRACE_OUTPUT, "proportion of the positive class in the training data",
         "used as a prior probability"});
  visit(self.bin_err, 1.0,
        {"bin-err", PARM_TRACE_OUTPUT, "estimated binary error. ",
         "Warning: if this is used as an input parameter, classifiers with binary error larger "
         "that the prior of the smallest class will be rejected, as a classifier with constant "
         "output"});
}

template class DeclaredParmList<SupervisorParmList>;

SupervisorParmList::SupervisorParmList(Mvec<string_t>* categories)
    : DeclaredParmList("supervisor", "%s=",
                       "Supervision of a binary classifier: what categories it discriminates, "
                       "what errors are measured on training or validation data\n Supervises a "
                       "single binary classifier, which in turn does all the computations.") {
  set_defaults();
  positive.categories = negative.categories = categories;
  display_name.init("");
}

void SupervisorParmList::special_prepro(ParmLoadState& load) {
  if (positive.index < 0) {
    label_kind = 0;
    display_name.init("");
  } else if (negative.index < 0) {
    label_kind = 2;
    display_name.init(positive.categ_name());
  } else {
    label_kind = 1;
    ZDString::stprintf(display_name, "%s%s%s", positive.categ_name(), "#", negative.categ_name());
  }
  if (clf.value.length() == 0)
    ZDString::stprintf(clf.value, "%s%d", "clf", load.take_number("clf"));
}

bool MultiSuper::init_categs(AnyParmListTable& table) {
  categories.set_nitems(0);
  const char* type = SupervisorParmList().type_name;
  for (AnyParmList& block : table.blocks) {
    if (!block.type || strcmp(block.type, type) != 0) continue;
    SupervisorParmList sup(&categories);
    sup.load(block);
    block.clear();  // no other reader may take it
    supervisors.append(sup);
  }
  supervisors.compress();

  if (supervisors.empty()) {
    ZDEvent::trace("No classifiers: will look for classes in label files\n");
    return false;
  }
  if (ZDEvent::verbose > 0) {
    ZDEvent::trace("Initialized %d classifiers  for %d classes\n", supervisors.size(),
                   categories.size());
    ZDEvent::trace("Classes: ");
    for (const string_t& c : categories) ZDEvent::trace("%s ", c.c_str());
    ZDEvent::trace("\n");
  }
  return true;
}

void MultiSuper::get_classifier_names(Mvec<const char*>& names) const {
  names.set_nitems(supervisors.size());
  for (int i = 0; i < supervisors.size(); i++) names[i] = supervisors[i].clf.value.c_str();
}

void MultiSuper::set_classifier_strings(const Mvec<const char*>& names) {
  classifier_strings.set_nitems(names.size());
  if (supervisors.empty()) {
    for (int i = 0; i < names.size(); i++) classifier_strings[i].init(names[i]);
    return;
  }
  for (int i = 0; i < names.size() && i < supervisors.size(); i++)
    classifier_strings[i] = supervisors[i].display_name;
}
