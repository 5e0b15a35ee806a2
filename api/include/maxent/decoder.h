// Embedding interface of the text-classification engine: load a model folder
// and a feature dictionary once, then classify text lines from any number of
// threads. The answers are those the command-line decoder prints.
//
// Example:
//   auto model = maxent::Model::load("model", "dict.txt");
//   for (const maxent::Label& l : model->classify("cancel my service", 3))
//     std::printf("%s:%g\n", l.name.c_str(), l.score);
//
// Errors: every failure is reported by throwing maxent::Error; nothing in the
// library ends or aborts the process. A failed load frees all it allocated.
//
// Thread-safety: a loaded Model is immutable. classify, classify_into,
// classify_batch and classes may run at the same time on any number of
// threads; Model::load may run on several threads at once, for the same or
// different folders.
#ifndef MAXENT_DECODER_H
#define MAXENT_DECODER_H

#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace maxent {

// One ranked class: its name and its score, the sigmoid of its classifier's
// output (printed with "%g" this is exactly the command line's score).
struct Label {
  std::string name;
  double score;
};

// One ranked class as its position in Model::classes() and its score (the
// same score as Label's).
struct RankedClass {
  int index;
  double score;
};

// A failure to load. what() is the message the command line prints (its
// first line, "label: message" for model errors; the whole report for a
// dictionary error).
class Error : public std::runtime_error {
 public:
  enum class Category {
    kUsage,           // a bad argument to this interface
    kUserInput,       // unusable model file or setting
    kDataInput,       // malformed values in the model's data
    kMemory,          // allocation failure, or an inconsistency between objects
    kImplementation,  // an unexpected failure inside the library
    kPedantic,        // violations found by the stricter checks
    kDictionary,      // unreadable or malformed dictionary
    kAbort,           // broken invariant, such as a classifier naming an undefined kernel
  };

  Error(Category category, std::string label, const std::string& what);
  Category category() const { return category_; }
  // The operation that failed (for instance "ClassifierModel::load_parms"),
  // empty when the message has none.
  const std::string& label() const { return label_; }

 private:
  Category category_;
  std::string label_;
};

struct LoadOptions {
  std::FILE* trace = nullptr;  // loading traces go here; nullptr: quiet
};

class Model {
 public:
  // Loads the model folder (its "zanda.parm" and the files it names) and the
  // feature dictionary. Throws Error on any failure. The returned model is
  // shared and immutable; it owns everything it loaded.
  static std::shared_ptr<const Model> load(const std::string& model_dir,
                                           const std::string& dictionary,
                                           const LoadOptions& options = {});

  // The min(nbest, classes().size()) best classes of `line`, best first, in
  // the command line's order; empty when nbest <= 0. The line is scored as
  // one piece of text up to its first NUL byte (the command line's end marker
  // and its splitting of over-long lines are not applied). Never throws but
  // std::bad_alloc.
  std::vector<Label> classify(std::string_view line, int nbest) const;

  // classify's answer without names or allocations: writes the
  // min(nbest, classes().size()) best classes of `line` to best[0], best[1],
  // ..., best first, and returns how many it wrote (0 when nbest <= 0).
  // `best` is the caller's and must have room for that many. Never throws
  // but std::bad_alloc (when this thread's working storage grows).
  int classify_into(std::string_view line, int nbest, RankedClass* best) const;

  // classify for every line, answers in input order, on `threads` threads
  // (0: one per core; never more than there are lines).
  std::vector<std::vector<Label>> classify_batch(const std::vector<std::string>& lines, int nbest,
                                                 int threads = 0) const;

  // The class name of each classifier, in classifier order.
  const std::vector<std::string>& classes() const;

  ~Model();
  Model(const Model&) = delete;
  Model& operator=(const Model&) = delete;

 private:
  struct Impl;
  explicit Model(std::unique_ptr<Impl> impl);
  std::unique_ptr<Impl> impl_;
};

}  // namespace maxent

#endif  // MAXENT_DECODER_H
