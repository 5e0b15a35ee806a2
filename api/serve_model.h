// The model an inference server answers with, and its replacement while
// requests are being answered.
//
// Thread-safety: current() and load() may run on any threads at once. A
// request takes current() once and keeps that copy to its end, so a load
// never changes the model under a request in flight; the old model is freed
// when its last request ends.
#ifndef API_SERVE_MODEL_H
#define API_SERVE_MODEL_H

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "maxent/decoder.h"

namespace maxent_serve {

// A loaded model and what its answers need of it, computed once per load.
struct ServedModel {
  std::shared_ptr<const maxent::Model> model;
  std::vector<std::string> json_labels;  // model->classes(), each written as a JSON string
};

class ModelSlot {
 public:
  ModelSlot(std::string model_dir, std::string dictionary);

  // The model in service; null until the first load succeeds.
  std::shared_ptr<const ServedModel> current() const;

  // Loads the model again from its folder and dictionary and puts it in
  // service; returns the seconds the load took. On failure throws the
  // engine's maxent::Error (or std::bad_alloc) and the model in service
  // stays. Loads run one at a time.
  double load();

 private:
  const std::string model_dir_;
  const std::string dictionary_;
  std::mutex load_mutex_;
  mutable std::mutex swap_mutex_;  // guards model_ alone, held only to copy it
  std::shared_ptr<const ServedModel> model_;
};

}  // namespace maxent_serve

#endif  // API_SERVE_MODEL_H
