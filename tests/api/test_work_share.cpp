// Jobs split into parts, run by their owner and by a thread that helps.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>
#include <vector>

#include "work_share.h"

namespace {

TEST(WorkShare, EveryPartRunsOnceAloneOrHelped) {
  WorkShare share;
  std::vector<std::atomic<int>> runs(50);
  share.run(50, [&](int k) { runs[static_cast<size_t>(k)]++; });
  std::thread helper([&] { share.help(); });
  for (int job = 0; job < 30; job++) share.run(50, [&](int k) { runs[static_cast<size_t>(k)]++; });
  share.close();
  helper.join();
  for (const auto& r : runs) EXPECT_EQ(r.load(), 31);
  // After close, run still works alone.
  share.run(2, [&](int k) { runs[static_cast<size_t>(k)]++; });
  EXPECT_EQ(runs[1].load(), 32);
}

TEST(WorkShare, AHelperRunsPartsAtTheSameTime) {
  WorkShare share;
  std::thread helper([&] { share.help(); });
  std::atomic<int> arrived{0};
  bool met[2] = {false, false};
  // Each part waits for the other: only two threads can finish both quickly.
  share.run(2, [&](int k) {
    arrived++;
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (arrived.load() < 2 && std::chrono::steady_clock::now() < until) std::this_thread::yield();
    met[k] = arrived.load() == 2;
  });
  share.close();
  helper.join();
  EXPECT_TRUE(met[0] && met[1]);
}

TEST(WorkShare, APartsExceptionReachesRunAfterTheOtherParts) {
  WorkShare share;
  std::thread helper([&] { share.help(); });
  std::atomic<int> finished{0};
  EXPECT_THROW(share.run(8,
                         [&](int k) {
                           if (k == 3) throw std::runtime_error("part 3");
                           finished++;
                         }),
               std::runtime_error);
  EXPECT_EQ(finished.load(), 7);
  // The failure is not kept for the next job.
  share.run(4, [&](int) { finished++; });
  EXPECT_EQ(finished.load(), 11);
  share.close();
  helper.join();
}

}  // namespace
