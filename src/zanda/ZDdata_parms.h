// Typed parameter lists of the model's "classifier", "kernel", "field" and
// "vector" blocks, and the container of the kernels and data fields that all
// classifiers of a model share.
#ifndef ZDDATA_PARMS_H
#define ZDDATA_PARMS_H

#include "ZDutil_parm.h"
#include "ZDutil_sparse.h"
#include "ZDutil_uhandler.h"
#include "ZDutil_vec.h"

// Kernel functions, by the code that KerParmList::get_kernel_type returns.
enum kernel_type_t { KT_POLY = 0, KT_EXP = 1, KT_LINEAR = 2, KT_QUADRATIC = 3 };

// Vector set kinds, by the code that VecParmList::get_vec_type returns.
enum vec_type_t { VT_WEIGHT = 0, VT_STUMP = 1, VT_SUPVEC = 2, VT_RESTRICT = 3 };

// A "classifier" block: output factors ("weights", one per kernel), bias,
// output mode and the binary vector file.
class ClassifierParmList : public DeclaredParmList<ClassifierParmList> {
 public:
  ParmBool trivial;
  ParmFloatTable weights;
  ParmFloat bias;  // 1e37 means "not given"
  ParmInt sigmoid;
  ParmString binfile;

  ClassifierParmList();

  // Number of "weights" entries, i.e. the number of kernels.
  int get_nker() const { return weights.values.size(); }
  // Gives "weights" n entries, all 0.0, unless it already has n entries.
  void set_nker(int n);

  // The block's own keys, in print order (see DeclaredParmList).
  template <class S, class V>
  static void declare(S& self, V&& visit);
};

// The "classifier" block as the classifier loader reads it: the kernel names
// and vector file names on top of the kept values.
class ClassifierParmListIO : public DeclaredParmList<ClassifierParmListIO, ClassifierParmList> {
 public:
  ParmStringTable kernels;
  ParmStringTable vecfile;

  ClassifierParmListIO();
  // Copies the refer name and the kept values; kernels and vecfile are empty.
  explicit ClassifierParmListIO(const ClassifierParmList& list);

  // The block's own keys, in print order (see DeclaredParmList).
  template <class S, class V>
  static void declare(S& self, V&& visit);
};

// A "kernel" block. After loading, a poly kernel of degree 1 or 2 has become
// a linear or quadratic kernel, and an unknown type has ended the process.
class KerParmList : public DeclaredParmList<KerParmList> {
 public:
  ParmString type;
  ParmInt pow;
  ParmFloat b;
  ParmFloat a;
  ParmBool norm;
  ParmString parms;
  ParmString learner;
  ParmStringTable fields;
  ParmFloatTable weights;
  ParmBool weights_sum_one;
  ParmInt restrict_field;  // key "restrict"

  KerParmList();

  // kernel_type_t code of "type"; an unknown name throws ZDError.
  int get_kernel_type() const;

  void special_prepro(ParmLoadState& load) override;
  // The block's own keys, in print order (see DeclaredParmList).
  template <class S, class V>
  static void declare(S& self, V&& visit);
};

// A "field" block: how one data field is read and normalised. After loading,
// `datatype` holds the code of "type", the stump table is in `handler`, and
// "protofile" is set (generated as data0.gz, data1.gz, ... in the load's
// order when absent).
class FieldParmList : public DeclaredParmList<FieldParmList> {
 public:
  ParmString file;
  ParmString protofile;
  ParmBool zlib;
  ParmBool norm;
  ParmBool transpose;
  ParmString type;
  ParmInt nofirst;
  ParmIntTable stumps;
  int datatype = FD_BSPARSE;  // feature_data_t code of "type"
  InputDataHandler handler;   // line reader of the field's data files

  FieldParmList();

  // feature_data_t code of "type"; an unknown name throws ZDError.
  int get_datatype() const;
  // Sets the sample's `mult` and `sqnorm`: unit length when "norm" is on
  // (mult 1/sqrt(d), sqnorm 1), unchanged otherwise (mult 1, sqnorm d), d
  // being the sample's squared norm floored at 1e-10.
  void normalize_samp(TableIdx& samp) const;

  void special_prepro(ParmLoadState& load) override;
  // The block's own keys, in print order (see DeclaredParmList).
  template <class S, class V>
  static void declare(S& self, V&& visit);
};

// A "vector" block: one vector set of a classifier. Keys that begin with an
// integer (12, 0x1f, 017) are elements, appended to `values` in file order.
class VecParmList : public DeclaredParmList<VecParmList> {
 public:
  ParmInt maxindex;
  ParmString type;
  ParmInt field;
  ParmInt binsize;
  TableValIdx values;  // (index, value) elements
  TableVal coefs;      // dense coefficients of a support-vector set

  VecParmList();

  // vec_type_t code of "type"; an unknown name throws ZDError.
  int get_vec_type() const;
  // Replaces `values` by the next "binsize" records of io's stream: 8 bytes
  // each, a little-endian 32-bit index and a little-endian 32-bit float. A
  // negative binsize or a file that holds fewer records throws ZDError.
  // Returns the number of records read.
  int load_bin_data(ZDIO& io) override;
  // Takes the declared keys, then integer keys as elements.
  bool init_parm(const KeyValue& pair) override;

  // The block's own keys, in print order (see DeclaredParmList).
  template <class S, class V>
  static void declare(S& self, V&& visit);
};

// The declared lists' hooks are compiled once, with their declarations.
extern template class DeclaredParmList<ClassifierParmList>;
extern template class DeclaredParmList<ClassifierParmListIO, ClassifierParmList>;
extern template class DeclaredParmList<KerParmList>;
extern template class DeclaredParmList<FieldParmList>;
extern template class DeclaredParmList<VecParmList>;

class KernelParmList;

// The kernels and data fields shared by all classifiers of a model, one
// entry per block of the parameter table, each list in table order.
class ModelParmCont {
 public:
  Mvec<KernelParmList> kernels;
  Mvec<FieldParmList> field_parms;

  ModelParmCont();
  ModelParmCont(const ModelParmCont& other);
  ModelParmCont& operator=(const ModelParmCont& other);
  ~ModelParmCont();

  // Loads the field blocks, then the kernel blocks, then checks every
  // kernel's field names and weights against the fields. The table is not
  // changed; any bad block throws ZDError.
  void init_parameters(const AnyParmListTable& table);
};

// Loads the first "classifier" block called `name` into `io` and clears it in
// the table. False when there is none (an absent name matches only an absent
// refer name).
bool steal_parm(AnyParmListTable& table, ClassifierParmListIO& io, const char* name);

#endif
