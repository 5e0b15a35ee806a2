// The extension module maxent_decoder._core: Python's view of the embedding
// engine of <maxent/decoder.h>. The package maxent_decoder re-exports it.
//
// Texts cross the boundary without copies where the engine allows it: a str
// is read through its cached UTF-8 form, and the GIL is released while the
// engine scores, so Python threads classify in parallel.
#include <pybind11/pybind11.h>

#include <climits>
#include <cstring>
#include <ctime>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "maxent/decoder.h"

namespace py = pybind11;

namespace {

// maxent_decoder._errors.ModelError, held for the life of the process.
PyObject* model_error_type = nullptr;

const char* category_name(maxent::Error::Category category) {
  using C = maxent::Error::Category;
  switch (category) {
    case C::kUsage:
      return "usage";
    case C::kUserInput:
      return "user_input";
    case C::kDataInput:
      return "data_input";
    case C::kMemory:
      return "memory";
    case C::kImplementation:
      return "implementation";
    case C::kPedantic:
      return "pedantic";
    case C::kDictionary:
      return "dictionary";
    case C::kAbort:
      return "abort";
  }
  return "implementation";
}

// Bytes from the engine (class names, messages naming files) as str; bytes
// that are not UTF-8 come back as with os.fsdecode.
py::str str_of(std::string_view bytes) {
  PyObject* s = PyUnicode_DecodeUTF8(bytes.data(), static_cast<Py_ssize_t>(bytes.size()),
                                     "surrogateescape");
  if (!s) throw py::error_already_set();
  return py::reinterpret_steal<py::str>(s);
}

// The UTF-8 bytes of a str. Most strs hold them already (always so for
// ASCII), and the view points into the str; a str with lone surrogates from
// errors="surrogateescape" is encoded back to its original bytes, kept in
// `owner`.
struct Utf8 {
  std::string_view bytes;
  py::object owner;
};

Utf8 utf8_of(py::handle text) {
  Py_ssize_t size = 0;
  if (const char* data = PyUnicode_AsUTF8AndSize(text.ptr(), &size))
    return {std::string_view(data, static_cast<size_t>(size)), py::object()};
  PyErr_Clear();
  PyObject* encoded = PyUnicode_AsEncodedString(text.ptr(), "utf-8", "surrogateescape");
  if (!encoded) throw py::error_already_set();
  auto owner = py::reinterpret_steal<py::object>(encoded);
  return {std::string_view(PyBytes_AS_STRING(encoded), static_cast<size_t>(PyBytes_GET_SIZE(encoded))),
          owner};
}

// A text to classify: a str without NUL characters (the engine would stop
// reading at the first one). Errors name it "text", or "texts[position]" for
// an element of a batch.
constexpr size_t kNotInBatch = static_cast<size_t>(-1);

Utf8 text_of(py::handle text, size_t position = kNotInBatch) {
  auto name = [&] {
    return position == kNotInBatch ? std::string("text")
                                   : "texts[" + std::to_string(position) + "]";
  };
  if (!PyUnicode_Check(text.ptr()))
    throw py::type_error(name() + " must be str, not " + Py_TYPE(text.ptr())->tp_name);
  Utf8 utf8 = utf8_of(text);
  if (std::memchr(utf8.bytes.data(), '\0', utf8.bytes.size()))
    throw py::value_error(name() + " contains a NUL character");
  return utf8;
}

// os.fspath(arg), which must be a str: a path argument.
py::str fspath_of(py::handle arg, const char* name) {
  PyObject* fspath = PyOS_FSPath(arg.ptr());
  if (!fspath && !PyErr_ExceptionMatches(PyExc_TypeError)) throw py::error_already_set();
  if (!fspath || !PyUnicode_Check(fspath)) {
    Py_XDECREF(fspath);
    PyErr_Clear();
    throw py::type_error(std::string(name) + " must be str or os.PathLike, not " +
                         Py_TYPE(arg.ptr())->tp_name);
  }
  return py::reinterpret_steal<py::str>(fspath);
}

// A path as the file system's bytes, for the engine.
std::string fs_bytes_of(const py::str& path, const char* name) {
  PyObject* encoded = PyUnicode_EncodeFSDefault(path.ptr());
  if (!encoded) throw py::error_already_set();
  std::string bytes = py::reinterpret_steal<py::bytes>(encoded);
  if (bytes.find('\0') != std::string::npos)
    throw py::value_error(std::string(name) + " contains a NUL character");
  return bytes;
}

// A count argument that must not be negative, capped to what the engine takes.
int count_of(long long value, const char* name) {
  if (value < 0) throw py::value_error(std::string(name) + " must not be negative");
  return value > INT_MAX ? INT_MAX : static_cast<int>(value);
}

py::list answer_of(const std::vector<maxent::Label>& labels) {
  py::list answer(labels.size());
  for (size_t i = 0; i < labels.size(); i++) {
    PyObject* score = PyFloat_FromDouble(labels[i].score);
    if (!score) throw py::error_already_set();
    answer[i] = py::make_tuple(str_of(labels[i].name), py::reinterpret_steal<py::float_>(score));
  }
  return answer;
}

// A loaded model and the two paths it came from (pickling loads it again).
class PyModel {
 public:
  PyModel(py::handle model_dir, py::handle dictionary)
      : model_dir_(fspath_of(model_dir, "model_dir")),
        dictionary_(fspath_of(dictionary, "dictionary")) {
    const std::string dir = fs_bytes_of(model_dir_, "model_dir");
    const std::string dict = fs_bytes_of(dictionary_, "dictionary");
    py::gil_scoped_release unlocked;
    model_ = maxent::Model::load(dir, dict);
  }

  py::list classes() const {
    const std::vector<std::string>& names = model_->classes();
    py::list list(names.size());
    for (size_t i = 0; i < names.size(); i++) list[i] = str_of(names[i]);
    return list;
  }

  py::list predict(py::handle text, long long k) const {
    const int nbest = count_of(k, "k");
    const Utf8 utf8 = text_of(text);
    std::vector<maxent::Label> labels;
    {
      py::gil_scoped_release unlocked;
      labels = model_->classify(utf8.bytes, nbest);
    }
    return answer_of(labels);
  }

  py::list predict_batch(py::handle texts, long long k, long long threads) const {
    if (PyUnicode_Check(texts.ptr()) || PyBytes_Check(texts.ptr()))
      throw py::type_error("texts must be an iterable of str, not a single " +
                           std::string(Py_TYPE(texts.ptr())->tp_name));
    const int nbest = count_of(k, "k");
    const int nthreads = count_of(threads, "threads");
    std::vector<std::string> lines;
    const Py_ssize_t hint = PyObject_LengthHint(texts.ptr(), 0);
    if (hint < 0) throw py::error_already_set();
    lines.reserve(static_cast<size_t>(hint));
    for (py::handle text : py::iter(texts)) lines.emplace_back(text_of(text, lines.size()).bytes);
    std::vector<std::vector<maxent::Label>> answers;
    {
      py::gil_scoped_release unlocked;
      answers = model_->classify_batch(lines, nbest, nthreads);
    }
    py::list result(answers.size());
    for (size_t i = 0; i < answers.size(); i++) result[i] = answer_of(answers[i]);
    return result;
  }

  // CPU seconds this thread spends in the engine alone classifying `texts`
  // one after the other: the reference of the benchmark of predict's cost.
  double classify_cpu_seconds(py::handle texts, long long k) const {
    const int nbest = count_of(k, "k");
    std::vector<Utf8> views;
    for (py::handle text : py::iter(texts)) views.push_back(text_of(text, views.size()));
    py::gil_scoped_release unlocked;
    timespec start, end;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &start);
    for (const Utf8& view : views) model_->classify(view.bytes, nbest);
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &end);
    return static_cast<double>(end.tv_sec - start.tv_sec) + (end.tv_nsec - start.tv_nsec) * 1e-9;
  }

  py::tuple reduce() const {
    return py::make_tuple(py::type::of<PyModel>(), py::make_tuple(model_dir_, dictionary_));
  }

  std::string repr() const {
    return "maxent_decoder.Model(" + py::repr(model_dir_).cast<std::string>() + ", " +
           py::repr(dictionary_).cast<std::string>() + ")";
  }

 private:
  py::str model_dir_, dictionary_;  // os.fspath of the arguments
  std::shared_ptr<const maxent::Model> model_;
};

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() =
      "Compiled core of maxent_decoder: a loaded classifier model (Model) and its load "
      "error (ModelError).";
  py::options options;
  options.disable_function_signatures();

  py::object model_error = py::module_::import("maxent_decoder._errors").attr("ModelError");
  model_error_type = model_error.inc_ref().ptr();  // one reference kept for good
  m.attr("ModelError") = model_error;
  py::register_exception_translator([](std::exception_ptr failure) {
    try {
      if (failure) std::rethrow_exception(failure);
    } catch (const maxent::Error& e) {
      py::object error = py::reinterpret_borrow<py::object>(model_error_type)(
          str_of(e.what()), category_name(e.category()), str_of(e.label()));
      PyErr_SetObject(model_error_type, error.ptr());
    }
  });

  py::class_<PyModel>(m, "Model", R"(A classifier model and its feature dictionary, loaded once.

Model(model_dir, dictionary)

model_dir is the model folder (its zanda.parm and the files it names),
dictionary the feature dictionary file; both str or os.PathLike. Raises
ModelError when either cannot be loaded, with the message the command-line
decoder prints. A Model is immutable: any number of threads may use it at
once. It pickles as its two paths and is loaded again when unpickled.)")
      .def(py::init<py::handle, py::handle>(), py::arg("model_dir"), py::arg("dictionary"),
           "__init__(self, model_dir: str | os.PathLike, dictionary: str | os.PathLike) -> None\n\n"
           "Loads the model folder and the dictionary (without the GIL).")
      .def_property_readonly("classes", &PyModel::classes,
                             "list[str]: the class name of each classifier, in classifier order.")
      .def("predict", &PyModel::predict, py::arg("text"), py::arg("k") = 1,
           R"(predict(self, text: str, k: int = 1) -> list[tuple[str, float]]

The min(k, len(classes)) best classes of text with their scores, best first:
the names and order the command-line decoder prints for this line with -n k,
and f"{score:g}" is its printed score. text is scored whole (no end marker,
no splitting of long lines); it must not contain NUL. Raises TypeError for a
non-str text, ValueError for a negative k or a NUL character. Runs without
the GIL.)")
      .def("predict_batch", &PyModel::predict_batch, py::arg("texts"), py::arg("k") = 1,
           py::arg("threads") = 0,
           R"(predict_batch(self, texts: Iterable[str], k: int = 1, threads: int = 0) -> list[list[tuple[str, float]]]

predict for every text, answers in input order, computed on `threads`
threads (0: one per core) without the GIL. Raises TypeError naming the
position of a text that is not a str, ValueError for a text with a NUL
character or a negative k or threads.)")
      .def("_classify_cpu_seconds", &PyModel::classify_cpu_seconds, py::arg("texts"),
           py::arg("k") = 1,
           "Benchmark reference: CPU seconds of the engine alone classifying texts in turn.")
      .def("__reduce__", &PyModel::reduce, "Pickles as Model(model_dir, dictionary).")
      .def("__repr__", &PyModel::repr, "maxent_decoder.Model(model_dir, dictionary).");
}
