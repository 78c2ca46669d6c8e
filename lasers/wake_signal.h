#pragma once
// A one-way signal that ends a device's waits: Raise (any thread, any time)
// makes Fd() readable for good, so a poll() that watches it beside a socket
// returns at once, and Raised() says so without a system call.

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>

namespace whorlgen::lasers {

class WakeSignal {
 public:
  WakeSignal() : fd_(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
  ~WakeSignal() {
    if (fd_ >= 0)
      close(fd_);
  }
  WakeSignal(const WakeSignal&) = delete;
  WakeSignal& operator=(const WakeSignal&) = delete;

  void Raise() {
    raised_.store(true, std::memory_order_release);
    const std::uint64_t one = 1;
    if (fd_ >= 0)
      (void)!write(fd_, &one, sizeof one);
  }
  bool Raised() const { return raised_.load(std::memory_order_acquire); }
  // -1 when the descriptor could not be made; a poll() ignores it then, and
  // waits end at their own limits.
  int Fd() const { return fd_; }

 private:
  int fd_;
  std::atomic<bool> raised_{false};
};

// Waits up to `timeoutMs` for `events` on `fd`, or less once `wake` is
// raised. Returns poll()'s revents for `fd` (0 on a timeout or a wake).
inline short PollOrWake(int fd, short events, int timeoutMs, const WakeSignal* wake) {
  if (wake != nullptr && wake->Raised())
    return 0;
  pollfd watched[2] = {{fd, events, 0}, {wake != nullptr ? wake->Fd() : -1, POLLIN, 0}};
  if (poll(watched, 2, timeoutMs) <= 0)
    return 0;
  return watched[0].revents;
}

}  // namespace whorlgen::lasers
