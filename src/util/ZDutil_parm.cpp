#include "ZDutil_parm.h"

#include <cstring>
#include <type_traits>

namespace {

// Appends `t` to `s`, doubling the storage when it is full so that texts
// built piece by piece (dumps, error contexts) cost linear time.
void append_text(string_t& s, const char* t) {
  int need = s.nitems + static_cast<int>(strlen(t)) + 1;
  if (s.nalloc < need) s.fresize(need > 2 * s.nalloc ? need : 2 * s.nalloc);
  s.concat(t);
}

void append_char(string_t& s, char c) {
  const char t[2] = {c, 0};
  append_text(s, t);
}

bool same_text(const char* a, const char* b) {
  if (!a || !b) return a == b;
  return strcmp(a, b) == 0;
}

bool is_token(const string_t& t, char c) {
  return t.nitems == 1 && t.data[0] == c;
}

// Strings compare by length and bytes; an absent string equals only an
// absent string.
bool same_string(const string_t& a, const string_t& b) {
  if (!a.data || !b.data) return a.data == b.data;
  return a.nitems == b.nitems && memcmp(a.data, b.data, static_cast<size_t>(a.nitems)) == 0;
}

// Conversion, text and comparison of the entries of the table parameters.
template <class T>
void parse_item(const char* text, T& out) {
  if constexpr (std::is_same_v<T, string_t>)
    ZDString::atos(text, out);
  else if constexpr (std::is_same_v<T, double>)
    out = ZDString::atof(text);
  else
    out = ZDString::atol(text);
}

template <class T>
void print_item(const T& value, string_t& out) {
  if constexpr (std::is_same_v<T, string_t>)
    out.init(value.nitems ? value.c_str() : "\"\"");
  else if constexpr (std::is_same_v<T, double>)
    ZDString::stprintf(out, "%.10g", value);
  else
    ZDString::stprintf(out, "%d", value);
}

template <class T>
bool same_item(const T& a, const T& b) {
  if constexpr (std::is_same_v<T, string_t>)
    return same_string(a, b);
  else
    return a == b;
}

// Text shown after every parse error: the block's tokens and its file.
const char* parse_context(const Mvec<string_t>& tokens, const char* file, string_t& out) {
  out.init("LINE: [");
  for (const string_t& t : tokens) {
    append_text(out, t.c_str());
    append_char(out, ' ');
  }
  append_text(out, "]\n");
  if (file) {
    append_text(out, "FILE: ");
    append_text(out, file);
    append_char(out, '\n');
  }
  return out.c_str();
}

const char kParseLabel[] = "ParmList::load";

}  // namespace

const char* impt2string(int category) {
  static const char* const kTexts[] = {"",
                                       "Rare command line",
                                       "Rare output",
                                       "Rare input",
                                       "Expert command line",
                                       "Trace/analysis output",
                                       "Expert input",
                                       "Basic command line",
                                       "Necessary output",
                                       "Basic input",
                                       "Directory name in command line",
                                       "File name in command line",
                                       "File name",
                                       "Library name"};
  if (category < 0 || category > PARM_LIBRARY_NAME) return "";
  return kTexts[category];
}

// ---------------------------------------------------------------- AnyParmList

KeyValue& AnyParmList::add_pair(const char* key) {
  if (pairs.nitems == pairs.nalloc) pairs.resize(2 * pairs.nitems + 256);
  KeyValue& kv = pairs.data[pairs.nitems++];  // may be a reused slot: reset every member
  kv.key.init(key);
  kv.value.init("");
  kv.items.set_nitems(0);
  kv.comment = nullptr;
  kv.is_list = false;
  return kv;
}

void AnyParmList::load(const Mvec<string_t>& tokens, const char* file, Mvec<string_t>& type_names) {
  const int n = tokens.nitems;
  string_t ctx_text;
  auto ctx = [&] { return parse_context(tokens, file, ctx_text); };

  if (n < 3) ZDEvent::user_input_err(kParseLabel, "Wrong line header\n%s", ctx());
  type = nullptr;
  for (const string_t& name : type_names)
    if (strcmp(name.c_str(), tokens[0].c_str()) == 0) {
      type = name.c_str();
      break;
    }
  if (!type) {
    type_names.append(tokens[0]);
    type = type_names.back().c_str();
  }
  refer_name = tokens[1];
  if (n == 3)
    ZDEvent::user_input_err(kParseLabel, "Reached end of unclosed parameter list\n%s", ctx());
  if (!is_token(tokens[2], '{'))
    ZDEvent::user_input_err(kParseLabel, "Found %s instead of %c\n%s", tokens[2].c_str(), '{',
                            ctx());

  pairs.set_nitems(0);
  pairs.resize(n / 3);
  int i = 3;  // always below n here: every path that reaches n fails first
  for (;;) {
    if (is_token(tokens[i], '}')) {
      if (i + 1 < n && tokens[i + 1].c_str()[0] != '#')
        ZDEvent::user_input_err(kParseLabel, "Found %s instead of comment starting with %c\n%s",
                                tokens[i + 1].c_str(), '#', ctx());
      return;
    }
    KeyValue& kv = add_pair(tokens[i].c_str());
    if (i + 1 == n)
      ZDEvent::user_input_err(kParseLabel, "Reached end of unclosed parameter list\n%s", ctx());
    if (!is_token(tokens[i + 1], '='))
      ZDEvent::user_input_err(kParseLabel, "After %s: [%s] found instead of [%c]\n%s",
                              tokens[i].c_str(), tokens[i + 1].c_str(), '=', ctx());
    if (i + 2 == n || i + 3 == n)
      ZDEvent::user_input_err(kParseLabel, "Reached end of unclosed parameter list\n%s", ctx());
    if (!is_token(tokens[i + 2], '{')) {
      kv.value = tokens[i + 2];
      i += 3;
      continue;
    }
    kv.is_list = true;
    int j = i + 3;  // first item, or the closing brace of an empty list
    if (!is_token(tokens[j], '}')) {
      for (;;) {
        kv.items.append(tokens[j]);
        if (j + 1 == n)
          ZDEvent::user_input_err(kParseLabel, "Reached end of unclosed parameter list\n%s", ctx());
        const string_t& sep = tokens[j + 1];
        if (is_token(sep, '}')) break;
        if (!is_token(sep, ','))
          ZDEvent::user_input_err(kParseLabel, "%s found instead of %c\n%s", sep.c_str(), ',',
                                  ctx());
        j += 2;
        if (j == n)
          ZDEvent::user_input_err(kParseLabel, "Reached end of unclosed parameter list\n%s", ctx());
      }
      j++;  // the list's closing brace
    }
    i = j + 1;
    if (i == n)
      ZDEvent::user_input_err(kParseLabel, "Reached end of unclosed parameter list\n%s", ctx());
  }
}

void AnyParmList::clear() {
  type = nullptr;
  refer_name.init("");
  pairs.set_nitems(0);
}

const char* AnyParmList::dump(string_t& out, bool multiline) const {
  out.init(type ? type : "(null)");
  append_char(out, ' ');
  append_text(out, refer_name.c_str());
  append_text(out, " { ");
  for (const KeyValue& kv : pairs) {
    if (multiline) append_text(out, "\n\t");
    append_char(out, ' ');
    append_text(out, kv.key.c_str());
    append_char(out, '=');
    if (kv.value.nitems > 0) {
      append_text(out, kv.value.c_str());
      continue;
    }
    append_char(out, '{');
    for (int k = 0; k < kv.items.nitems; k++) {
      if (k) append_char(out, ',');
      append_text(out, kv.items[k].c_str());
    }
    append_char(out, '}');
  }
  append_text(out, " }\n");
  return out.c_str();
}

// ----------------------------------------------------------- AnyParmListTable

namespace {

// Makes the blocks' types, copied from `from`, point at the same entries of
// `to`, the copy of from.type_names.
void repoint_types(Mvec<AnyParmList>& blocks, const Mvec<string_t>& from,
                   const Mvec<string_t>& to) {
  for (AnyParmList& b : blocks)
    for (int k = 0; b.type && k < from.nitems && k < to.nitems; k++)
      if (b.type == from[k].data) {
        b.type = to[k].c_str();
        break;
      }
}

}  // namespace

AnyParmListTable::AnyParmListTable(const AnyParmListTable& other)
    : blocks(other.blocks),
      base_dir(other.base_dir),
      type_names(other.type_names),
      load_state(other.load_state) {
  repoint_types(blocks, other.type_names, type_names);
}

AnyParmListTable& AnyParmListTable::operator=(const AnyParmListTable& other) {
  if (this == &other) return *this;
  blocks = other.blocks;
  base_dir = other.base_dir;
  type_names = other.type_names;
  load_state = other.load_state;
  repoint_types(blocks, other.type_names, type_names);
  return *this;
}

void AnyParmListTable::load_parameter_table(const char* file) {
  if (!file || !*file) return;
  ZDIO io;
  io.force_open(file, "r", false);
  Mvec<string_t> tokens;
  while (ZDString::object2strings(io, tokens)) {
    if (tokens.empty()) continue;
    if (blocks.nitems == blocks.nalloc) blocks.resize(2 * blocks.nitems + 256);
    AnyParmList& block = blocks.data[blocks.nitems++];
    block.load(tokens, file, type_names);
    block.load_state = load_state.get();
  }
  trace_read(file, blocks.nitems);
  io.clean_close();
}

void AnyParmListTable::trace_read(const char* file, int nblocks) {
  if (ZDEvent::verbose > 2) ZDEvent::trace("%s: loading values for %d parameters\n", file, nblocks);
}

void AnyParmListTable::trace_fetched(int count, const char* type) {
  if (ZDEvent::verbose > 2) ZDEvent::trace("found %d %s\n", count, type);
}

int AnyParmListTable::count_type(const char* type) const {
  int count = 0;
  for (const AnyParmList& b : blocks)
    if (b.type && type && strcmp(b.type, type) == 0) count++;
  return count;
}

// ------------------------------------------------------------------- ParmList

ParmList::ParmList(const char* tname, const char* pattern, const char* descr)
    : type_name(tname), refer_name("foo"), option_pattern(pattern), description(descr) {}

const Mvec<string_t>* ParmList::get_val_table(const char*) const {
  ZDEvent::user_input_err("ParmList::get_val_table", "Not defined yet: must be used in subclass");
}

int ParmList::save_bin_data(ZDIO&) const {
  return 0;
}

int ParmList::load_bin_data(ZDIO&) {
  return 0;
}

bool ParmList::is_info() const {
  ZDEvent::user_input_err("ParmList::is_info", "Not defined yet: must be used in subclass");
}

void ParmList::build_description(Mvec<ParmDescription>&) const {}

void ParmList::load(const AnyParmList& block) {
  if (!block.type || !same_text(block.type, type_name)) {
    string_t text;
    ZDEvent::user_input_err("ParmList::load", "wrong parameter type\n%s", block.dump(text, true));
  }
  ParmLoadState own_load;  // a block parsed outside a table is a load of its own
  ParmLoadState& load = block.load_state ? *block.load_state : own_load;
  refer_name = block.refer_name;
  for (const KeyValue& kv : block.pairs) {
    if (init_parm(kv) || load.unknown_key_reported) continue;
    string_t text;
    ZDEvent::warn("Parameter [%s=%s] does not exist in\n%s\n Wrong spelling or obsolete?\n",
                  kv.key.c_str(), kv.is_list ? "(null)" : kv.value.c_str(), dump(text));
    load.unknown_key_reported = true;
  }
  special_prepro(load);
}

const char* ParmList::dump(string_t& out) const {
  AnyParmList list;
  list.type = type_name;
  list.refer_name = refer_name;
  store(list, nullptr);
  return list.dump(out, true);
}

// ---------------------------------------------------------- typed parameters

bool ParmBasic::matches(const KeyValue& pair) const {
  return same_text(name, pair.key.data ? pair.key.c_str() : nullptr);
}

KeyValue& ParmBasic::add_to(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  KeyValue& kv = list.add_pair(name);
  if (descriptions)
    for (const ParmDescription& d : *descriptions)
      if (same_text(d.name, name)) {
        kv.comment = d.comment;
        break;
      }
  return kv;
}

void ParmBasic::check_same_name(const ParmBasic& other, const char* label) const {
  if (!same_text(name, other.name))
    ZDEvent::memory_or_implement_err(label, "comparing with different keys %s %s",
                                     name ? name : "(null)", other.name ? other.name : "(null)");
}

const char* ParmBasic::scalar_text(const KeyValue& pair, const char* label) const {
  if (pair.is_list)
    ZDEvent::user_input_err(label, "Parameter %s takes a single value, not a list\n",
                            name ? name : "(null)");
  return pair.value.c_str();
}

bool ParmInt::init(const KeyValue& pair) {
  if (!matches(pair)) return false;
  value = ZDString::atol(scalar_text(pair, "ParmInt::init"));
  return true;
}

bool ParmInt::operator==(const ParmInt& other) const {
  check_same_name(other, "ParmInt::operator==");
  return value == other.value;
}

void ParmInt::print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  ZDString::stprintf(add_to(list, descriptions).value, "%d", value);
}

bool ParmBool::init(const KeyValue& pair) {
  if (!matches(pair)) return false;
  const char* text = pair.is_list ? nullptr : pair.value.c_str();
  if (same_text(text, "true"))
    value = true;
  else if (same_text(text, "false"))
    value = false;
  else
    ZDEvent::user_input_err("ParmBool::init", "Boolean value is %s instead of true or false\n",
                            text ? text : "(null)");
  return true;
}

bool ParmBool::operator==(const ParmBool& other) const {
  check_same_name(other, "ParmBool::operator==");
  return value == other.value;
}

void ParmBool::print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  add_to(list, descriptions).value.init(value ? "true" : "false");
}

bool ParmFloat::init(const KeyValue& pair) {
  if (!matches(pair)) return false;
  value = ZDString::atof(scalar_text(pair, "ParmFloat::init"));
  return true;
}

bool ParmFloat::operator==(const ParmFloat& other) const {
  check_same_name(other, "ParmFloat::operator==");
  return value == other.value;
}

void ParmFloat::print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  ZDString::stprintf(add_to(list, descriptions).value, "%.10g", value);
}

bool ParmString::init(const KeyValue& pair) {
  if (!matches(pair)) return false;
  ZDString::atos(scalar_text(pair, "ParmString::init"), value);
  return true;
}

bool ParmString::operator==(const ParmString& other) const {
  check_same_name(other, "ParmString::operator==");
  return same_string(value, other.value);
}

void ParmString::print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  add_to(list, descriptions).value.init(value.c_str());
}

bool ParmCateg::init(const KeyValue& pair) {
  if (!matches(pair)) return false;
  *this = scalar_text(pair, "ParmCateg::init");
  return true;
}

ParmCateg& ParmCateg::operator=(const char* text) {
  if (!categories)
    ZDEvent::memory_or_implement_err("ParmCateg::operator=", "no category list for %s",
                                     name ? name : "(null)");
  for (int k = 0; k < categories->nitems; k++)
    if (strcmp((*categories)[k].c_str(), text) == 0) {
      index = k;
      return *this;
    }
  categories->append(string_t(text));
  index = categories->nitems - 1;
  return *this;
}

bool ParmCateg::operator==(const ParmCateg& other) const {
  check_same_name(other, "ParmCateg::operator==");
  return index == other.index;
}

const char* ParmCateg::categ_name() const {
  if (index < 0 || !categories || index >= categories->nitems) return nullptr;
  return (*categories)[index].c_str();
}

void ParmCateg::print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  const char* categ = categ_name();
  string_t& text = add_to(list, descriptions).value;
  text.init("\"");
  append_text(text, categ ? categ : "");
  append_char(text, '"');
}

template <class T>
bool ParmTable<T>::init(const KeyValue& pair) {
  if (!matches(pair)) return false;
  values.set_nitems(pair.items.nitems);
  for (int k = 0; k < values.nitems; k++) parse_item(pair.items[k].c_str(), values[k]);
  return true;
}

template <class T>
bool ParmTable<T>::operator==(const ParmTable& other) const {
  check_same_name(other, "ParmFloat::operator==");
  if (values.nitems != other.values.nitems) return false;
  for (int k = 0; k < values.nitems; k++)
    if (!same_item(values[k], other.values[k])) return false;
  return true;
}

template <class T>
void ParmTable<T>::print(AnyParmList& list, const Mvec<ParmDescription>* descriptions) const {
  KeyValue& kv = add_to(list, descriptions);
  kv.is_list = true;
  kv.items.set_nitems(values.nitems);
  for (int k = 0; k < values.nitems; k++) print_item(values[k], kv.items[k]);
}

template class ParmTable<int32_t>;
template class ParmTable<double>;
template class ParmTable<string_t>;
