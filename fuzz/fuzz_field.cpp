// Support-vector field files: the data-line reader of every data type, plain
// and gzip-compressed, followed by what the model builds from the samples
// (multipliers, inverted index, products). The first input byte chooses the
// field's settings; the rest is the data file.
#include "ZDdata_io.h"
#include "ZDdata_parms.h"
#include "ZDutil_event.h"
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0];
  static const char* const kTypes[] = {"bsparse", "sparse", "continuous", "bstump"};
  fuzz::run([&] {
    ZDEvent::pedantic = (mode >> 4) & 1;
    FieldParmList parms;
    parms.type.value.init(kTypes[mode & 3]);
    parms.zlib.value = (mode >> 2) & 1;
    parms.norm.value = (mode >> 3) & 1;
    parms.protofile.value.init("data");
    ParmLoadState load;
    parms.special_prepro(load);
    fuzz::put_file("data", fuzz::as_text(data + 1, size - 1), parms.zlib.value);

    AnyParmListTable table;
    table.base_dir.init(fuzz::scratch_dir().c_str());
    VecData set;
    Mvec<FieldParmList> list;
    list.append(parms);
    set.copy_field_parms(list);
    // Bit 5 reads every other line only (a line list given beforehand).
    if ((mode >> 5) & 1)
      for (int k = 0; k < 8; k += 2) set.linenums.append(k);
    set.load_supvec_data(table);
    set.transpose_store((mode >> 6) & 1, false, (mode >> 7) & 1, false,
                        static_cast<tmul_method_t>((mode >> 6) % 3));
    FieldData& field = set.fields[0];
    TableValIdx out;
    for (int s = 0; s < field.nsamples && s < 16; s++)
      field.set_dpline(out, field.samples[s], Mvec<int>());
  });
  return 0;
}
