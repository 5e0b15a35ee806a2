// Reader of text vector files in their plain shape, the shape that model
// writers produce: it fills the vector lists directly from the file's bytes
// instead of going through the parameter-file parser's tokens and pairs.
#ifndef ZDDATA_VECFILE_H
#define ZDDATA_VECFILE_H

#include "ZDdata_parms.h"
#include "ZDutil_parm.h"
#include "ZDutil_vec.h"

// Reads the text vector file `path` when it has the plain shape and returns
// true; returns false ("not handled") for any other file, having changed
// nothing and printed nothing, and the caller then reads it with
//   AnyParmListTable::load_parameter_table + fetch_typed_parms,
// which reports whatever is wrong with it.
//
// The plain shape: one or more blocks "vector NAME { KEY = VALUE ... }"
// separated by the parser's delimiters (blank, tab, newline, carriage
// return, form feed), nothing else outside them; NAME, KEY and VALUE are
// words without delimiters, NUL, braces, '=', ',', '"' or '#'. A KEY is
// either a key of VecParmList's own parameters (taken by its init_parm, as
// the parser's lists do) or an element index written "0" or [1-9][0-9]*
// within int, whose VALUE is a decimal number (an optional '-', digits
// around an optional point, an optional exponent) whose double is neither
// rounded to 0 from a non-zero value nor so large that it rounds to an
// infinite float. A file that cannot be opened or read in full, or of 2 GiB
// or more, a path that is not a regular file, and the name "STDIN" are not
// handled either, nor is any file while the decimal point of the thread's
// locale is not '.' or the rounding mode is not to-nearest (strtod depends
// on both).
//
// When handled, `out` is replaced by exactly the lists that the parser gives
// (one per block in file order; refer name, parameters, elements in file
// order, bit for bit), loaded as part of `load` (the load that the file
// belongs to; when null, each block is a load of its own, as in
// ParmList::load), and the same trace lines are printed. A parameter value
// that does not convert (`field = abc`) throws the parser's ZDError after
// the first trace line, as the parser does; `out` is then left as it was.
//
// The file's content is held only while it is read. No state of its own:
// threads may read different files at once, each with its own `out` and
// `load`.
bool read_plain_vector_file(const char* path, Mvec<VecParmList>& out, ParmLoadState* load);

#endif
