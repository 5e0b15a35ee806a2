// A job's parts, run by the thread that owns the job and by those that wait
// for it.
#include "work_share.h"

#include <chrono>
#include <thread>

namespace {

// About the time a sleeping thread may take to wake on an idle core.
constexpr auto kSpin = std::chrono::milliseconds(2);

}  // namespace

template <class Ready>
void WorkShare::await(std::unique_lock<std::mutex>& hold, Ready ready) {
  if (ready()) return;
  hold.unlock();
  const auto until = std::chrono::steady_clock::now() + kSpin;
  while (!ready() && std::chrono::steady_clock::now() < until) std::this_thread::yield();
  hold.lock();
  changed_.wait(hold, ready);
}

void WorkShare::perform(const std::function<void(int)>& part, int k) {
  try {
    part(k);
  } catch (...) {
    std::lock_guard<std::mutex> hold(lock_);
    if (!failure_) failure_ = std::current_exception();
  }
}

void WorkShare::run(int nparts, const std::function<void(int)>& part) {
  {
    std::lock_guard<std::mutex> hold(lock_);
    job_ = &part;
    nparts_ = nparts;
    unclaimed_ = nparts;
  }
  changed_.notify_all();
  for (;;) {
    int k;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (unclaimed_ == 0) break;
      k = nparts_ - unclaimed_--;
    }
    perform(part, k);
  }
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> hold(lock_);
    await(hold, [this] { return helping_ == 0; });
    job_ = nullptr;
    failure = failure_;
    failure_ = nullptr;
  }
  if (failure) std::rethrow_exception(failure);
}

void WorkShare::help() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    await(hold, [this] { return closed_ || unclaimed_ > 0; });
    if (unclaimed_ == 0) return;  // closed
    const std::function<void(int)>& part = *job_;
    const int k = nparts_ - unclaimed_--;
    helping_++;
    hold.unlock();
    perform(part, k);
    hold.lock();
    if (--helping_ == 0) changed_.notify_all();
  }
}

void WorkShare::close() {
  {
    std::lock_guard<std::mutex> hold(lock_);
    closed_ = true;
  }
  changed_.notify_all();
}
