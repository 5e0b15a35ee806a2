// A job's parts, run by the thread that owns the job and by those that wait
// for it.
#include "work_share.h"

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
    next_ = 0;
  }
  changed_.notify_all();
  for (;;) {
    int k;
    {
      std::lock_guard<std::mutex> hold(lock_);
      if (next_ == nparts_) break;
      k = next_++;
    }
    perform(part, k);
  }
  std::exception_ptr failure;
  {
    std::unique_lock<std::mutex> hold(lock_);
    changed_.wait(hold, [this] { return helping_ == 0; });
    job_ = nullptr;
    failure = failure_;
    failure_ = nullptr;
  }
  if (failure) std::rethrow_exception(failure);
}

void WorkShare::help() {
  std::unique_lock<std::mutex> hold(lock_);
  for (;;) {
    changed_.wait(hold, [this] { return closed_ || (job_ && next_ < nparts_); });
    if (!job_ || next_ == nparts_) return;  // closed
    const std::function<void(int)>& part = *job_;
    const int k = next_++;
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
