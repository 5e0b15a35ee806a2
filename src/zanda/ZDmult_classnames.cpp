#include "ZDmult_classnames.h"

#include <cstring>

int SupervisorParmList::filecount = 0;

SupervisorParmList::SupervisorParmList(Mvec<string_t>* categories)
    : ParmList("supervisor", "%s=",
               "Supervision of a binary classifier: what categories it discriminates, what errors "
               "are measured on training or validation data\n Supervises a single binary "
               "classifier, which in turn does all the computations."),
      positive(categories, "p", PARM_BASIC_INPUT),
      negative(categories, "n", PARM_EXPERT_INPUT),
      clf("", "clf", PARM_FILE_NAME),
      ntrain(0, "ntrain", PARM_TRACE_OUTPUT),
      niter(0, "niter", PARM_TRACE_OUTPUT),
      prior(0, "prior", PARM_TRACE_OUTPUT),
      bin_err(1.0, "bin-err", PARM_TRACE_OUTPUT) {
  display_name.init("");
}

void SupervisorParmList::init_parm(const KeyValue& pair) {
  if (positive.init(pair) || negative.init(pair) || clf.init(pair) || ntrain.init(pair) ||
      niter.init(pair) || prior.init(pair) || bin_err.init(pair))
    return;
  warn_no_parm(pair);
}

void SupervisorParmList::special_prepro() {
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
  if (clf.value.length() == 0) {
    ZDString::stprintf(clf.value, "%s%d", "clf", filecount);
    filecount++;
  }
}

void SupervisorParmList::store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  const SupervisorParmList fresh(positive.categories);
  store_parm(positive, fresh.positive, list, descriptions);
  store_parm(negative, fresh.negative, list, descriptions);
  store_parm(clf, fresh.clf, list, descriptions);
  store_parm(ntrain, fresh.ntrain, list, descriptions);
  store_parm(niter, fresh.niter, list, descriptions);
  store_parm(prior, fresh.prior, list, descriptions);
  store_parm(bin_err, fresh.bin_err, list, descriptions);
}

void SupervisorParmList::build_description(Mvec<ParmDescription>& descriptions) const {
  const ParmDescription texts[] = {
      {positive.name, "Positive category",
       "This must the the same name as the one used in the label file"},
      {negative.name, "Negative category",
       "Should only be specified for 1vs1 classification. When it is not specified, we assume "
       "that the discrimination is against all non-positive examples (1 versus others). "},
      {clf.name, "Name of corresponding remapping classifier",
       "If not specified, this file prefix is automatically constructed as 'clfN' where N is a "
       "class counter"},
      {ntrain.name, "number of training samples", ""},
      {niter.name, "number of iterations",
       "When computed during the validation phase, this gives an idea of the training time on "
       "the full dataset"},
      {prior.name, "proportion of the positive class in the training data",
       "used as a prior probability"},
      {bin_err.name, "estimated binary error. ",
       "Warning: if this is used as an input parameter, classifiers with binary error larger "
       "that the prior of the smallest class will be rejected, as a classifier with constant "
       "output"},
  };
  for (const ParmDescription& d : texts) descriptions.append(d);
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
