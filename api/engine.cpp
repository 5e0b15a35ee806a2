// The embedding interface over the model facade and the feature dictionary.
#include <algorithm>
#include <atomic>
#include <cstring>
#include <new>
#include <thread>

#include "Zanda_api.h"
#include "loadfeats.h"
#include "maxent/decoder.h"

namespace maxent {
namespace {

// Feature indices kept per line, as many as the command line's buffer holds.
constexpr int kMaxIndices = 999999;

Error::Category category_of(ZDError::Category category) {
  switch (category) {
    case ZDError::Category::memory:
      return Error::Category::kMemory;
    case ZDError::Category::user_input:
      return Error::Category::kUserInput;
    case ZDError::Category::pedantic:
      return Error::Category::kPedantic;
    case ZDError::Category::data_input:
      return Error::Category::kDataInput;
    case ZDError::Category::abort:
      return Error::Category::kAbort;
  }
  return Error::Category::kImplementation;
}

// Runs `body`, turning the libraries' failures into Error.
template <class Body>
auto translating_errors(Body body) {
  try {
    return body();
  } catch (const ZDError& e) {
    throw Error(category_of(e.category()), e.label(), e.what());
  } catch (const DictionaryError& e) {
    throw Error(Error::Category::kDictionary, "", e.what());
  } catch (const DSTError& e) {
    throw Error(Error::Category::kMemory, "", e.what());
  } catch (const std::bad_alloc&) {
    throw Error(Error::Category::kMemory, "", "memory allocation failed");
  }
}

// Points this thread's trace stream somewhere for a while.
class TraceTo {
 public:
  explicit TraceTo(FILE* stream) : saved_(ZDEvent::tracefile) { ZDEvent::tracefile = stream; }
  ~TraceTo() { ZDEvent::tracefile = saved_; }
  TraceTo(const TraceTo&) = delete;
  TraceTo& operator=(const TraceTo&) = delete;

 private:
  FILE* saved_;
};

// Per-thread working storage of classify, kept from call to call.
struct Scratch {
  std::string text;         // the line, NUL-terminated
  std::vector<int> indices; // its feature indices
  std::vector<double> outs; // scores, best first
  std::vector<int> ranks;   // their classifiers
};

// This thread's Scratch, shared by classify and classify_into.
Scratch& thread_scratch() {
  static thread_local Scratch scratch;
  return scratch;
}

}  // namespace

Error::Error(Category category, std::string label, const std::string& what)
    : std::runtime_error(what), category_(category), label_(std::move(label)) {}

struct Model::Impl {
  ZandaModelAPI zanda;
  std::unique_ptr<dst_hash_table_rec, void (*)(DSTHashTable)> dictionary{nullptr, FreeFeats};
  std::vector<std::string> classes;

  // Ranks the classes of `line` into scratch.outs and scratch.ranks (best
  // first) and returns how many of them answer: min(nbest, classes), 0 when
  // nbest <= 0.
  int rank(std::string_view line, int nbest, Scratch& scratch) const;
};

Model::Model(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
Model::~Model() = default;

std::shared_ptr<const Model> Model::load(const std::string& model_dir,
                                         const std::string& dictionary,
                                         const LoadOptions& options) {
  return translating_errors([&] {
    auto impl = std::make_unique<Impl>();
    FeatsLoad dictionary_load(dictionary);  // beside the model's load
    {
      TraceTo trace(options.trace);
      impl->zanda.load_mdl_parms(model_dir.c_str(), options.trace);
    }
    impl->dictionary.reset(dictionary_load.take());
    for (int i = 0; i < impl->zanda.get_nfiers(); i++)
      impl->classes.emplace_back(impl->zanda.classifier_name(i));
    return std::shared_ptr<const Model>(new Model(std::move(impl)));
  });
}

const std::vector<std::string>& Model::classes() const {
  return impl_->classes;
}

int Model::Impl::rank(std::string_view line, int nbest, Scratch& scratch) const {
  const int nfiers = static_cast<int>(classes.size());
  if (nbest <= 0 || nfiers == 0) return 0;
  // The text up to its first NUL, as a C string.
  const void* nul = memchr(line.data(), '\0', line.size());
  scratch.text.assign(line.data(), nul ? static_cast<const char*>(nul) - line.data() : line.size());
  const size_t most = std::min<size_t>(3 * (scratch.text.size() + 1), kMaxIndices);
  if (scratch.indices.size() < most) scratch.indices.resize(most);
  scratch.outs.resize(nfiers);
  scratch.ranks.resize(nfiers);
  translating_errors([&] {
    int n = GenerateUptoTrigrams(scratch.text.c_str(), dictionary.get(), scratch.indices.data(),
                                 static_cast<int>(most));
    return zanda.test_samp(scratch.indices.data(), n, scratch.outs.data(), scratch.ranks.data(),
                           nbest);
  });
  return std::min(nbest, nfiers);
}

std::vector<Label> Model::classify(std::string_view line, int nbest) const {
  Scratch& scratch = thread_scratch();
  const int k = impl_->rank(line, nbest, scratch);
  std::vector<Label> best;
  best.reserve(k);
  for (int i = 0; i < k; i++)
    best.push_back(Label{impl_->classes[scratch.ranks[i]], scratch.outs[i]});
  return best;
}

int Model::classify_into(std::string_view line, int nbest, RankedClass* best) const {
  Scratch& scratch = thread_scratch();
  const int k = impl_->rank(line, nbest, scratch);
  for (int i = 0; i < k; i++) best[i] = RankedClass{scratch.ranks[i], scratch.outs[i]};
  return k;
}

std::vector<std::vector<Label>> Model::classify_batch(const std::vector<std::string>& lines,
                                                      int nbest, int threads) const {
  std::vector<std::vector<Label>> answers(lines.size());
  if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  threads = static_cast<int>(std::min<size_t>(threads, lines.size()));
  // Lines are handed out in chunks from a shared counter, so that threads
  // that meet longer lines simply take fewer chunks.
  constexpr size_t kChunk = 64;
  std::atomic<size_t> next{0};
  auto work = [&] {
    for (size_t begin; (begin = next.fetch_add(kChunk)) < lines.size();)
      for (size_t i = begin; i < std::min(begin + kChunk, lines.size()); i++)
        answers[i] = classify(lines[i], nbest);
  };
  std::vector<std::thread> pool;
  for (int t = 1; t < threads; t++) pool.emplace_back(work);
  work();
  for (std::thread& t : pool) t.join();
  return answers;
}

}  // namespace maxent
