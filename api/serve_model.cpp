#include "serve_model.h"

#include <chrono>
#include <utility>

#include "serve_protocol.h"

namespace maxent_serve {

ModelSlot::ModelSlot(std::string model_dir, std::string dictionary)
    : model_dir_(std::move(model_dir)), dictionary_(std::move(dictionary)) {}

std::shared_ptr<const ServedModel> ModelSlot::current() const {
  std::lock_guard<std::mutex> lock(swap_mutex_);
  return model_;
}

double ModelSlot::load() {
  std::lock_guard<std::mutex> one_load_at_a_time(load_mutex_);
  const auto start = std::chrono::steady_clock::now();
  auto served = std::make_shared<ServedModel>();
  served->model = maxent::Model::load(model_dir_, dictionary_);
  for (const std::string& name : served->model->classes())
    served->json_labels.push_back(json_string(name));
  const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
  std::shared_ptr<const ServedModel> loaded = std::move(served);
  {
    std::lock_guard<std::mutex> lock(swap_mutex_);
    model_.swap(loaded);
  }
  // `loaded` now holds the previous model: freed here, outside the swap lock,
  // unless requests in flight still use it.
  return took.count();
}

}  // namespace maxent_serve
