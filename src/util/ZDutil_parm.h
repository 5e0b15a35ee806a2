// Typed parameters, the untyped records of a parsed parameter file
// (KeyValue, AnyParmList, AnyParmListTable) and the ParmList base class of
// the typed parameter lists.
#ifndef ZDUTIL_PARM_H
#define ZDUTIL_PARM_H

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <type_traits>

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

// What one model load has generated and reported so far. All the tables read
// for one load share one state (AnyParmListTable::load_state) and a new load
// starts a fresh one, so two loads of one folder generate the same names and
// print the same warnings. Not locked: a load runs on one thread.
class ParmLoadState {
 public:
  bool unknown_key_reported = false;  // only a load's first unknown key is reported

  // Next number of the generated names of `series`: 0, 1, 2, ...
  int take_number(const char* series) { return next_numbers_[series]++; }

 private:
  std::map<std::string, int> next_numbers_;
};

// One parsed block: type name, reference name and assignments in file order.
class AnyParmList {
 public:
  const char* type = nullptr;  // entry of the loading table's type names; null once cleared
  string_t refer_name;
  Mvec<KeyValue> pairs;
  // Load of the table that read the block (not owned: valid while the table
  // lives); null for a block parsed by other means.
  ParmLoadState* load_state = nullptr;

  // Parses one block's tokens (as cut by ZDString::object2strings); `file`
  // (may be null) is named in error messages. `type_names` gets the type if
  // new. A syntax error throws ZDError.
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
  // The load this table is read for. A new table starts a new load; copies
  // share it, and so must every further table read for the same load
  // (assigned from the first table's before loading).
  std::shared_ptr<ParmLoadState> load_state = std::make_shared<ParmLoadState>();

  AnyParmListTable() = default;
  // Copies keep their blocks' types pointing into their own type names.
  AnyParmListTable(const AnyParmListTable& other);
  AnyParmListTable& operator=(const AnyParmListTable& other);

  // Appends every block of `file` ("STDIN" reads standard input; the empty
  // text does nothing). Unopenable files and syntax errors throw ZDError.
  void load_parameter_table(const char* file);
  // Number of blocks whose type is set and equals `type`.
  int count_type(const char* type) const;

  // Fills `out` with one fresh T per block of T's type, in table order, each
  // loaded with ParmList::load and then, when `io` is given, reading its
  // binary part from `io` with load_bin_data. Blocks are left in the table.
  template <class T>
  void fetch_typed_parms(Mvec<T>& out, ZDIO* io = nullptr) const;

  // The trace lines (verbose > 2) of reading `nblocks` blocks from `file`
  // and of filling `count` lists of type `type`; readers that fill typed
  // lists without a table print them too.
  static void trace_read(const char* file, int nblocks);
  static void trace_fetched(int count, const char* type);
};

// Abstract base of the typed parameter lists: a class per block type whose
// members are typed parameters (see DeclaredParmList).
class ParmList {
 public:
  const char* type_name;
  string_t refer_name;  // of the block last loaded; "foo" until then
  const char* option_pattern;
  const char* description;

  ParmList(const char* type_name, const char* option_pattern, const char* description);
  ParmList(const ParmList&) = default;
  ParmList& operator=(const ParmList&) = default;
  virtual ~ParmList() = default;

  // Not available in this system: throws ZDError.
  virtual const Mvec<string_t>* get_val_table(const char* name) const;
  // Derives values once all pairs of a block are loaded; `load` is the state
  // of the load that the block belongs to.
  virtual void special_prepro(ParmLoadState& /*load*/) {}
  virtual int save_bin_data(ZDIO& io) const;
  // Reads the list's binary part, if any, from an open file.
  virtual int load_bin_data(ZDIO& io);
  // Appends the list's parameters to `list` in print order: each one when
  // descriptions are given, when it differs from its default, or when its
  // category is PARM_BASIC_CMDLINE or above.
  virtual void store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const = 0;
  // Offers one pair to the typed parameters; false when none takes its key.
  virtual bool init_parm(const KeyValue& pair) = 0;
  // Not available in this system: throws ZDError.
  virtual bool is_info() const;
  virtual void build_description(Mvec<ParmDescription>& descriptions) const;

  // Takes the block's refer name and pairs, then runs special_prepro(). The
  // first unknown key of the block's load is reported by a warning; the
  // pairs of unknown keys are dropped. A block of another type throws ZDError.
  void load(const AnyParmList& block);
  // Multi-line text of the list as stored without descriptions.
  const char* dump(string_t& out) const;

 protected:
  // End of DeclaredParmList::walk: the base has no parameters.
  template <class S, class V>
  static void walk(S&, V&&) {}
};

// Key and import category shared by every typed parameter.
struct ParmBasic {
  const char* name = nullptr;
  parm_import_t category = PARM_NO_CATEGORY;

  ParmBasic() = default;
  ParmBasic(const char* n, parm_import_t c) : name(n), category(c) {}
  // Equal texts, or both absent.
  bool matches(const KeyValue& pair) const;
  // Appends a pair keyed by the name, with the comment of the description of
  // the same name when `descriptions` holds one.
  KeyValue& add_to(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
  // Throws ZDError when two parameters of different names are compared.
  void check_same_name(const ParmBasic& other, const char* label) const;
  // Value text of a scalar pair; a list throws ZDError naming the key.
  const char* scalar_text(const KeyValue& pair, const char* label) const;
};

// Every typed parameter is built by (default, key, category), or without
// arguments to be assigned so later; init(pair) takes the value of a pair of
// its own key and says whether it did; operator== compares the values of two
// parameters of one key; print appends the parameter's pair to a list.
class ParmInt : public ParmBasic {
 public:
  int32_t value = 0;
  ParmInt() = default;
  ParmInt(int32_t def, const char* n, parm_import_t c) : ParmBasic(n, c), value(def) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmInt& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmBool : public ParmBasic {
 public:
  bool value = false;
  ParmBool() = default;
  ParmBool(bool def, const char* n, parm_import_t c) : ParmBasic(n, c), value(def) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmBool& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmFloat : public ParmBasic {
 public:
  double value = 0.0;
  ParmFloat() = default;
  ParmFloat(double def, const char* n, parm_import_t c) : ParmBasic(n, c), value(def) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmFloat& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

class ParmString : public ParmBasic {
 public:
  string_t value;  // absent (null data) only when constructed with a null default
  ParmString() = default;
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
  Mvec<string_t>* categories = nullptr;  // not owned

  ParmCateg() = default;
  ParmCateg(Mvec<string_t>* categs, const char* n, parm_import_t c)
      : ParmBasic(n, c), categories(categs) {}
  bool init(const KeyValue& pair);
  ParmCateg& operator=(const char* text);
  bool operator==(const ParmCateg& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
  // Category name at the index, or null when unset.
  const char* categ_name() const;
};

// A table parameter (T: int32_t, double or string_t) takes the items of a
// list value; a single value leaves it empty. The constructor's default is
// not stored: tables start empty.
template <class T>
class ParmTable : public ParmBasic {
 public:
  Mvec<T> values;
  ParmTable() = default;
  ParmTable(const T&, const char* n, parm_import_t c) : ParmBasic(n, c) {}
  bool init(const KeyValue& pair);
  bool operator==(const ParmTable& other) const;
  void print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const;
};

using ParmIntTable = ParmTable<int32_t>;
using ParmFloatTable = ParmTable<double>;
using ParmStringTable = ParmTable<string_t>;

// Declaration of one parameter of a list besides its default: key, import
// category and description texts (a parameter without comment is not
// described).
struct ParmDecl {
  const char* name;
  parm_import_t category;
  const char* comment = nullptr;
  const char* details = nullptr;
};

// Base of a parameter list that declares its parameters once, in Self's
//   template <class S, class V> static void declare(S& self, V&& visit);
// which calls visit(self.parameter, default, ParmDecl{...}) for each of
// Self's own parameters, in print order. Construction (set_defaults),
// init_parm, store and build_description all follow that declaration. When
// Base is a declared list too, its parameters come after Self's. A Self whose
// declare() is defined in a .cpp file declares
// `extern template class DeclaredParmList<Self, Base>;` after its class and
// instantiates it explicitly in that file.
template <class Self, class Base = ParmList>
class DeclaredParmList : public Base {
 public:
  bool init_parm(const KeyValue& pair) override;
  void store(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const override;
  void build_description(Mvec<ParmDescription>& descriptions) const override;
  // Whether one of the declared parameters takes `pair` (its key is theirs),
  // i.e. whether DeclaredParmList::init_parm would; nothing is converted.
  bool declares(const KeyValue& pair) const;

 protected:
  using Base::Base;
  explicit DeclaredParmList(const Base& base) : Base(base) {}

  // Gives Self's own parameters their keys, categories and defaults; every
  // constructor of Self calls it.
  void set_defaults();

  // Visits Self's parameters, then those of the declared lists it extends.
  template <class S, class V>
  static void walk(S& self, V&& visit) {
    Self::declare(self, visit);
    Base::walk(self, visit);
  }
};

// Defined out of the class, so that an `extern template` declaration keeps
// them from being compiled where Self's declare() is not defined.
template <class Self, class Base>
bool DeclaredParmList<Self, Base>::init_parm(const KeyValue& pair) {
  bool taken = false;
  walk(static_cast<Self&>(*this),
       [&](auto& parm, const auto&, const ParmDecl&) { taken = taken || parm.init(pair); });
  return taken;
}

template <class Self, class Base>
bool DeclaredParmList<Self, Base>::declares(const KeyValue& pair) const {
  bool found = false;
  walk(static_cast<const Self&>(*this), [&](const auto& parm, const auto&, const ParmDecl&) {
    found = found || parm.matches(pair);
  });
  return found;
}

template <class Self, class Base>
void DeclaredParmList<Self, Base>::store(AnyParmList& list,
                                         const Mvec<ParmDescription>* descriptions) const {
  walk(static_cast<const Self&>(*this), [&](const auto& parm, const auto& def, const ParmDecl& d) {
    using Parm = std::decay_t<decltype(parm)>;
    if (descriptions || d.category >= PARM_BASIC_CMDLINE ||
        !(parm == Parm(def, d.name, d.category)))
      parm.print(list, descriptions);
  });
}

template <class Self, class Base>
void DeclaredParmList<Self, Base>::build_description(Mvec<ParmDescription>& descriptions) const {
  walk(static_cast<const Self&>(*this), [&](const auto&, const auto&, const ParmDecl& d) {
    if (d.comment) descriptions.append(ParmDescription{d.name, d.comment, d.details});
  });
}

template <class Self, class Base>
void DeclaredParmList<Self, Base>::set_defaults() {
  Self::declare(static_cast<Self&>(*this), [](auto& parm, const auto& def, const ParmDecl& d) {
    parm = std::decay_t<decltype(parm)>(def, d.name, d.category);
  });
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
  trace_fetched(count, type);
}

#endif
