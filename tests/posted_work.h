#pragma once
// The panel's event queue without Qt, for run-loop hosts in tests: work
// posted from any thread runs in order on the test's own thread.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <utility>

namespace whorlgen::testing {

class PostedWork {
 public:
  void Post(std::function<void()> work) {
    {
      std::lock_guard lock(mutex_);
      posted_.push_back(std::move(work));
    }
    arrived_.notify_one();
  }

  // Runs posted work while `going` holds, `before` ahead of each piece (the
  // events of that moment). Gives up after 20 s without the condition ending.
  void RunWhile(const std::function<bool()>& going, const std::function<void()>& before = {}) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (going()) {
      std::function<void()> work;
      {
        std::unique_lock lock(mutex_);
        if (!arrived_.wait_until(lock, deadline, [this] { return !posted_.empty(); })) {
          ADD_FAILURE() << "nothing ended the wait";
          return;
        }
        work = std::move(posted_.front());
        posted_.pop_front();
      }
      if (before)
        before();
      work();
    }
  }

 private:
  std::mutex mutex_;
  std::condition_variable arrived_;
  std::deque<std::function<void()>> posted_;
};

}  // namespace whorlgen::testing
