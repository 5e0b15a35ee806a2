// Parameter files: the block tokenizer, the block parser, dumps and copies of
// the parsed table, then the typed loading of every block kind the decoder
// knows (field, kernel, vector, classifier and supervisor blocks).
#include "ZDdata_kernel.h"
#include "ZDdata_parms.h"
#include "ZDmult_classnames.h"
#include "ZDutil_parm.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  AnyParmListTable table;
  bool parsed = fuzz::run([&] {
    table = AnyParmListTable();
    std::string path = fuzz::put_file("zanda.parm", fuzz::as_text(data, size));
    table.base_dir.init(fuzz::scratch_dir().c_str());
    table.load_parameter_table(path.c_str());
    string_t out;
    for (const AnyParmList& block : table.blocks) {
      block.dump(out, true);
      block.dump(out, false);
    }
    AnyParmListTable copy(table);
    copy = table;
  });
  if (!parsed) return 0;

  // Each kind on its own: an error in one kind leaves the others to run.
  fuzz::run([&] {
    ModelParmCont cont;
    cont.init_parameters(table);
  });
  fuzz::run([&] {
    Mvec<VecParmList> vectors;
    table.fetch_typed_parms(vectors);
    string_t out;
    for (const VecParmList& v : vectors) v.dump(out);
  });
  fuzz::run([&] {
    Mvec<ClassifierParmListIO> classifiers;
    table.fetch_typed_parms(classifiers);
    string_t out;
    for (const ClassifierParmListIO& c : classifiers) c.dump(out);
  });
  fuzz::run([&] {
    AnyParmListTable own(table);
    MultiSuper super;
    super.init_categs(own);
    Mvec<const char*> names;
    super.get_classifier_names(names);
    super.set_classifier_strings(names);
  });
  return 0;
}
