// A test's helper thread that a failed assertion cannot turn into the end of the whole test
// program. A std::thread still joinable when it is destroyed terminates the process, and that is
// what an ASSERT_* that returns early does to it; this one is joined instead, after `unblock` has
// run to let the thread's work end (release what it waits for, tell it to stop).
#pragma once

#include <functional>
#include <thread>
#include <utility>

class ScopedThread {
 public:
  template <typename Body>
  explicit ScopedThread(Body &&body, std::function<void()> unblock = {})
      : unblock_(std::move(unblock)), thread_(std::forward<Body>(body)) {}
  ~ScopedThread() {
    if (!thread_.joinable()) return;
    if (unblock_) unblock_();
    thread_.join();
  }
  ScopedThread(const ScopedThread &) = delete;
  ScopedThread &operator=(const ScopedThread &) = delete;

  void join() { thread_.join(); }

 private:
  std::function<void()> unblock_;
  std::thread thread_;
};
