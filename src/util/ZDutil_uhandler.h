// Line reader of one data field: reads binary vectors from text data files
// according to the field's data type and holds the field's stump tables.
#ifndef ZDUTIL_UHANDLER_H
#define ZDUTIL_UHANDLER_H

#include "ZDutil_sparse.h"

// The stump tables (filled by update_stump) followed by the field's data type.
// A bstump vector read by a handler points at that handler's tables.
class InputDataHandler : public StumpData {
 public:
  int datatype = FD_BSPARSE;  // feature_data_t code of the field

  // Reads the next line of `file` into v: bsparse vectors come out in
  // canonical form (sort_feat), bstump vectors keep their token order and get
  // `stump` set to this handler. False at end of file or after a token that is
  // not a number. `name` and `line` identify the data for the caller only.
  bool Read(ZDIO& file, TableIdx& v, const char* name, int line);
  // Builds the stump tables from the number of levels of each stump position;
  // keeps the old tables when `levels` is empty or the ranges are already set.
  // A position with fewer than one level, or more levels in all than the
  // tables allow, is a data error naming `field` and the position.
  void update_stump(const Mvec<int>& levels, const char* field = "");
};

#endif
