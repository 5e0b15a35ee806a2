// Typed parameters, the untyped records of a parsed parameter file
// (KeyValue, AnyParmList, AnyParmListTable) and the ParmList base class of
// the typed parameter lists.
#ifndef ZDUTIL_PARM_H
#define ZDUTIL_PARM_H

#include <cstdint>

#include "ZDutil_sys.h"
#include "ZDutil_vec.h"

// Import category of a parameter: decides whether a dump shows it at its
// default value (categories PARM_BASIC_CMDLINE and above are always shown).
enum parm_import_t : int32_t {
  PARM_NO_CATEGORY = 0,
  PARM_RARE_CMDLINE = 1,
  PARM_RARE_OUTPUT = 2,
  PARM_RARE_INPUT = 3,
  PARM_EXPERT_CMDLINE = 4,
  PARM_TRACE_OUTPUT = 5,
  PARM_EXPERT_INPUT = 6,
  PARM_BASIC_CMDLINE = 7,
  PARM_NECESSARY_OUTPUT = 8,
  PARM_BASIC_INPUT = 9,
  PARM_DIR_CMDLINE = 10,
  PARM_FILE_CMDLINE = 11,
  PARM_FILE_NAME = 12,
  PARM_LIBRARY_NAME = 13
};

// Text of a category ("Basic input", ...); the empty text outside 0..13.
const char* impt2string(int category);

// Documentation record of one parameter; `comment` is attached to the
// parameter's pair when a list is stored with descriptions.
struct ParmDescription {
  const char* name = nullptr;
  const char* comment = nullptr;  // short description
  const char* details = nullptr;  // long description
};

// One assignment of a block. A single value fills `value` and leaves `items`
// empty; a list (`is_list`) leaves `value` empty and fills `items`.
class KeyValue {
 public:
  string_t key;
  string_t value;
  Mvec<string_t> items;
  const char* comment = nullptr;
  bool is_list = false;
};

class AnyParmListTable;

// One parsed block: type name, reference name and assignments in file order.
class AnyParmList {
 public:
  const char* type = nullptr;  // entry of the loading table's type names; null once cleared
  string_t refer_name;
  Mvec<KeyValue> pairs;

  // Parses one block's tokens (as cut by ZDString::object2strings); `file`
  // (may be null) is named in error messages. `type_names` gets the type if
  // new. Any syntax error ends the process.
  void load(const Mvec<string_t>& tokens, const char* file, Mvec<string_t>& type_names);
  // Leaves a block that matches no lookup: no type, no name, no pairs.
  void clear();
  // Writes "type name { key=value ... }\n" into `out` (one pair per line
  // when `multiline`) and returns its text.
  const char* dump(string_t& out, bool multiline) const;
  // Appends a pair with key `key`, no value and no items, and returns it.
  KeyValue& add_pair(const char* key);
};

// A whole parameter file: its blocks in file order, the directory that data
// file names are relative to, and the distinct type names the blocks share.
class AnyParmListTable {
 public:
  Mvec<AnyParmList> blocks;
  string_t base_dir;  // ends in '/'; set by the creator, never by loading
  Mvec<string_t> type_names;

  AnyParmListTable() = default;
  // Copies keep their blocks' types pointing into their own type names.
  AnyParmListTable(const AnyParmListTable& other);
  AnyParmListTable& operator=(const AnyParmListTable& other);

  // Appends every block of `file` ("STDIN" reads standard input; the empty
  // text does nothing). Unopenable files and syntax errors end the process.
  void load_parameter_table(const char* file);
  // Number of blocks whose type is set and equals `type`.
  int count_type(const char* type) const;

  // Fills `out` with one fresh T per block of T's type, in table order, each
  // loaded with ParmList::load and then, when `io` is given, reading its
  // binary part from `io` with load_bin_data. Blocks are left in the table.
  template <class T>
  void fetch_typed_parms(Mvec<T>& out, ZDIO* io = nullptr) const;
};

// Abstract base of the typed parameter lists: a class per block type whose
// members are typed parameters. load() offers each pair to init_parm().
class ParmList {
 public:
  const char* type_name;
  string_t refer_name;  // of the block last loaded; "foo" until then
  const char* option_pattern;
  const char* description;

  // Only the first unknown key of the process is reported.
  static bool first_warn;

  ParmList(const char* type_name, const char* option_pattern, const char* description);
  ParmList(const ParmList&) = default;
  ParmList& operator=(const ParmList&) = default;
  virtual ~ParmList() = default;

  // Not available in this system: ends the process.
  virtual const Mvec<string_t>* get_val_table(const char* name) const;
  // Derives values once all pairs of a block are loaded.
  virtual void special_prepro() {}
  virtual int save_bin_data(ZDIO& io) const;
  // Reads the list's binary part, if any, from an open file.
  virtual int load_bin_data(ZDIO& io);
  // Appends the list's parameters to `list` by the dump rule (see store_parm).
  virtual void store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const = 0;
  // Offers one pair to the typed parameters; unknown keys go to warn_no_parm.
  virtual void init_parm(const KeyValue& pair) = 0;
  // Not available in this system: ends the process.
  virtual bool is_info() const;
  virtual void build_description(Mvec<ParmDescription>& descriptions) const;

  // Takes the block's refer name and pairs, then runs special_prepro(). A
  // block of another type ends the process.
  void load(const AnyParmList& block);
  // Warns about an unknown key once per process; the pair is dropped.
  void warn_no_parm(const KeyValue& pair) const;
  // Multi-line text of the list as stored without descriptions.
  const char* dump(string_t& out) const;
};

// Key and import category shared by every typed parameter.
struct ParmBasic {
  const char* name;
  parm_import_t category;

  ParmBasic(const char* n, parm_import_t c) : name(n), category(c) {}
  // Equal texts, or both absent.
  bool matches(const KeyValue& pair) const;
  // Appends a pair keyed by the name, with the comment of the description of
  // the same name when `descriptions` holds one.
  KeyValue& add_to(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
  // Ends the process when two parameters of different names are compared.
  void check_same_name(const ParmBasic& other, const char* label) const;
  // Value text of a scalar pair; a list ends the process naming the key.
  const char* scalar_text(const KeyValue& pair, const char* label) const;
};

class ParmInt : public ParmBasic {
 public:
  int32_t value;
  ParmInt(int32_t def, const char* n, parm_import_t c) : ParmBasic(n, c), value(def) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmInt& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmBool : public ParmBasic {
 public:
  bool value;
  ParmBool(bool def, const char* n, parm_import_t c) : ParmBasic(n, c), value(def) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmBool& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmFloat : public ParmBasic {
 public:
  double value;
  ParmFloat(double def, const char* n, parm_import_t c) : ParmBasic(n, c), value(def) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmFloat& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmString : public ParmBasic {
 public:
  string_t value;  // absent (null data) only when constructed with a null default
  ParmString(const char* def, const char* n, parm_import_t c) : ParmBasic(n, c) {
    if (def) value.init(def);
  }
  bool init(const KeyValue& pair);
  bool operator==(const ParmString& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

// Index into a category-name list shared by several parameters; unknown
// names are appended to the list.
class ParmCateg : public ParmBasic {
 public:
  int32_t index = -1;
  Mvec<string_t>* categories;  // not owned

  ParmCateg(Mvec<string_t>* categs, const char* n, parm_import_t c)
      : ParmBasic(n, c), categories(categs) {}
  bool init(const KeyValue& pair);
  ParmCateg& operator=(const char* text);
  bool operator==(const ParmCateg& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
  // Category name at the index, or null when unset.
  const char* categ_name() const;
};

// Table parameters take the items of a list value; a single value leaves
// them empty. The constructor's default is not stored: tables start empty.
class ParmIntTable : public ParmBasic {
 public:
  Mvec<int32_t> values;
  ParmIntTable(int32_t, const char* n, parm_import_t c) : ParmBasic(n, c) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmIntTable& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmFloatTable : public ParmBasic {
 public:
  Mvec<double> values;
  ParmFloatTable(double, const char* n, parm_import_t c) : ParmBasic(n, c) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmFloatTable& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmStringTable : public ParmBasic {
 public:
  Mvec<string_t> values;
  ParmStringTable(const string_t&, const char* n, parm_import_t c) : ParmBasic(n, c) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmStringTable& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

// The dump rule of every ParmList::store: `parm` is printed when descriptions
// are requested, when it differs from `fresh` (the same parameter of a
// freshly constructed list), or when its category is PARM_BASIC_CMDLINE or
// above.
template <class P>
void store_parm(const P& parm, const P& fresh, AnyParmList& list,
                const Mvec<ParmDescription>* descriptions) {
  if (descriptions || parm.category >= PARM_BASIC_CMDLINE || !(parm == fresh))
    parm.print(list, descriptions);
}

template <class T>
void AnyParmListTable::fetch_typed_parms(Mvec<T>& out, ZDIO* io) const {
  const T proto;
  const char* type = proto.type_name;
  int count = count_type(type);
  out.set_nitems(count);
  int k = 0;
  for (const AnyParmList& block : blocks) {
    if (!block.type || strcmp(block.type, type) != 0) continue;
    out[k] = proto;
    out[k].load(block);
    if (io) out[k].load_bin_data(*io);
    k++;
  }
  if (ZDEvent::verbose > 2) ZDEvent::trace("found %d %s\n", count, type);
}

#endif
