// Lets a thread that waits for another thread's result help produce it.
//
// The working thread calls run() with a job split into parts; a thread that
// is inside help() meanwhile takes parts of it too, and run() returns once
// every part has run. Without a helper, run() runs every part itself, so a
// job never waits for one. help() returns when close() is called.
//
// Waiting threads spin for a while before they sleep: a thread that sleeps
// on an idle core may take milliseconds to wake, longer than a part may last.
//
// Thread-safety: run() and close() are called by one working thread, help()
// by any number of others, all at once.
#ifndef API_WORK_SHARE_H
#define API_WORK_SHARE_H

#include <atomic>
#include <condition_variable>
#include <exception>
#include <functional>
#include <mutex>

class WorkShare {
 public:
  // Calls part(k) once for each k from 0 to nparts - 1, in any order, on this
  // thread and on helpers, and returns when all calls have returned. When
  // parts throw, the first exception caught is rethrown here after that.
  void run(int nparts, const std::function<void(int)>& part);
  // Runs the parts of the jobs of run() until close() has been called.
  void help();
  // Ends help(); run() may still be called afterwards and runs alone.
  void close();

 private:
  // Runs part k of the job, keeping its exception; called without the lock.
  void perform(const std::function<void(int)>& part, int k);
  // Returns with `hold` locked once ready() holds, which reads only atomics.
  template <class Ready>
  void await(std::unique_lock<std::mutex>& hold, Ready ready);

  std::mutex lock_;
  std::condition_variable changed_;
  // Written under the lock; atomic so that waiting threads may spin on them.
  const std::function<void(int)>* job_ = nullptr;
  std::atomic<int> unclaimed_{0};  // parts of the job not yet handed out
  int nparts_ = 0;
  std::atomic<int> helping_{0};  // parts that helpers are running
  std::atomic<bool> closed_{false};
  std::exception_ptr failure_;
};

#endif  // API_WORK_SHARE_H
