#pragma once
// A single-producer, single-consumer ring of mono samples. The producer (a
// JACK process callback, an ALSA reading thread, a test feeder) never waits
// and never allocates: what does not fit is dropped and counted.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace whorlgen::analysis {

class SampleRing {
 public:
  // capacity is rounded up to a power of two.
  explicit SampleRing(std::size_t capacity);

  // Producer: writes as many samples as fit; the rest are counted as dropped.
  std::size_t Write(const float* samples, std::size_t count);
  std::size_t Writable() const;
  // Consumer.
  std::size_t Read(float* out, std::size_t count);
  std::size_t Readable() const;

  std::uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }
  // Grows whenever the producer has written, or Wake was called: a consumer
  // waits on it.
  const std::atomic<std::uint32_t>& WriteSignal() const { return written_; }
  // Wakes a waiting consumer without samples (a stop, a lost source).
  void Wake();

 private:
  std::vector<float> buffer_;
  std::size_t mask_ = 0;
  std::atomic<std::size_t> head_{0};  // next index to write, counted without wrapping
  std::atomic<std::size_t> tail_{0};  // next index to read
  std::atomic<std::uint64_t> dropped_{0};
  std::atomic<std::uint32_t> written_{0};
};

}  // namespace whorlgen::analysis
