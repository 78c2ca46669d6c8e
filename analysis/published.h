#pragma once
// The latest value of a record that one thread writes and any thread reads,
// without locks: a sequence lock over atomic words. A reader never waits for
// the writer; it retries in the rare case that it overlapped a write.

#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <type_traits>

namespace whorlgen::analysis {

template <typename T>
class Published {
  static_assert(std::is_trivially_copyable_v<T>);
  static constexpr std::size_t kWords = (sizeof(T) + 7) / 8;

 public:
  Published() { Publish(T{}); }

  // One writer only.
  void Publish(const T& value) {
    std::array<std::uint64_t, kWords> words{};
    std::memcpy(words.data(), &value, sizeof(T));
    const std::uint32_t sequence = sequence_.load(std::memory_order_relaxed);
    sequence_.store(sequence + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    for (std::size_t i = 0; i < kWords; ++i)
      words_[i].store(words[i], std::memory_order_relaxed);
    sequence_.store(sequence + 2, std::memory_order_release);
  }

  T Read() const {
    std::array<std::uint64_t, kWords> words{};
    std::uint32_t before = 0;
    std::uint32_t after = 0;
    do {
      before = sequence_.load(std::memory_order_acquire);
      for (std::size_t i = 0; i < kWords; ++i)
        words[i] = words_[i].load(std::memory_order_relaxed);
      std::atomic_thread_fence(std::memory_order_acquire);
      after = sequence_.load(std::memory_order_relaxed);
    } while (before != after || (before & 1U) != 0);
    T value;
    std::memcpy(static_cast<void*>(&value), words.data(), sizeof(T));
    return value;
  }

 private:
  std::atomic<std::uint32_t> sequence_{0};
  std::array<std::atomic<std::uint64_t>, kWords> words_{};
};

}  // namespace whorlgen::analysis
