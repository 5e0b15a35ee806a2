#include "ZDdata_io.h"

#include "ZDutil_event.h"

void VecData::copy_field_parms(const Mvec<FieldParmList>& list) {
  if (list.nitems == 0) return;
  if (fields.nitems == 0)
    fields.set_nitems(list.nitems);
  else if (fields.nitems != list.nitems)
    ZDEvent::user_input_err("VecData::copy_field_parms", "Number of fields varies\n");
  for (int f = 0; f < list.nitems; f++) fields[f].parms = list[f];
}

void VecData::load_supvec_data(const AnyParmListTable& table) {
  for (FieldData& field : fields) {
    const string_t& proto = field.parms.protofile.value;
    if (proto.length() == 0) {
      string_t dump;
      ZDEvent::user_input_err("VecData::load_supvec_data",
                              "No path for saved field data in field parms\n%s",
                              field.parms.dump(dump));
    }
    string_t path = table.base_dir + proto;
    field.load_data(linenums, path.c_str());
    if (nsamples == 0)
      nsamples = field.nsamples;
    else if (field.nsamples != nsamples)
      ZDEvent::user_input_err("VecData::check_nidx",
                              "Fields have different number of examples %d %d\n", field.nsamples,
                              nsamples);
    field.set_multipliers(Mvec<int>(), false);
  }
}

void VecData::get_samp(int i, Mvec<TableIdx>& out) const {
  out.set_nitems(fields.nitems);
  for (int f = 0; f < fields.nitems; f++) make_view(out[f], fields[f].samples[i]);
}

void VecData::transpose_store(bool compact, bool mult_only, bool packed, bool take_over,
                              tmul_method_t method) {
  const bool selected = linenums.nitems > 0;
  const int nsel = selected ? linenums.nitems : nsamples;
  for (FieldData& field : fields) {
    if (nsamples < 2) field.parms.transpose.value = false;
    const bool build = field.parms.transpose.value && !mult_only;
    Mvec<TableIdx> rows;
    if (build) {
      rows.set_nitems(selected && packed ? nsel : field.nsamples);
      for (int k = 0; k < nsel; k++) {
        const int s = selected ? linenums[k] : k;
        check_sample_position("VecData::transpose_store", s, field.nsamples);
        const TableIdx& sample = field.samples[s];
        // The index needs canonical rows; stump rows hold bins, not indices.
        for (int i = 0; i < sample.nitems; i++)
          if (sample[i].index < 0 ||
              (!sample.stump && i > 0 && sample[i].index < sample[i - 1].index))
            ZDEvent::user_input_err("VecData::transpose_store", "wrong index order");
        make_view(rows[packed ? k : s], sample);
      }
    }
    field.set_multipliers(linenums, packed);
    if (!build) continue;
    field.transposer.method = method;
    field.transposer.store(rows, compact);
    // Taking over: the elements now live in the index only. They are released
    // after the build because a repeated sample shares its source's elements.
    if (take_over)
      for (int k = 0; k < nsel; k++) field.samples[selected ? linenums[k] : k].free_all();
  }
}

void VecData::restrict_examples_to_veclist(VecData& src, Mvec<int>& p, bool copy) {
  nsamples = p.nitems;
  linenums.set_nitems(0);  // every sample of the subset is a candidate
  fields.set_nitems(src.fields.nitems);
  for (int f = 0; f < fields.nitems; f++) {
    fields[f].parms = src.fields[f].parms;
    fields[f].restrict_examples_to_veclist(src.fields[f].samples, p, copy);
  }
}
