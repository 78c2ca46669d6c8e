#include "analysis/sample_ring.h"

#include <algorithm>
#include <bit>

namespace whorlgen::analysis {

SampleRing::SampleRing(std::size_t capacity)
    : buffer_(std::bit_ceil(std::max<std::size_t>(capacity, 2))), mask_(buffer_.size() - 1) {}

std::size_t SampleRing::Writable() const {
  return buffer_.size() -
         (head_.load(std::memory_order_relaxed) - tail_.load(std::memory_order_acquire));
}

std::size_t SampleRing::Readable() const {
  return head_.load(std::memory_order_acquire) - tail_.load(std::memory_order_relaxed);
}

std::size_t SampleRing::Write(const float* samples, std::size_t count) {
  const std::size_t head = head_.load(std::memory_order_relaxed);
  const std::size_t now = std::min(count, Writable());
  for (std::size_t n = 0; n < now; ++n)
    buffer_[(head + n) & mask_] = samples[n];
  head_.store(head + now, std::memory_order_release);
  if (now < count)
    dropped_.fetch_add(count - now, std::memory_order_relaxed);
  if (now > 0)
    Wake();
  return now;
}

void SampleRing::Wake() {
  written_.fetch_add(1, std::memory_order_release);
  written_.notify_all();
}

std::size_t SampleRing::Read(float* out, std::size_t count) {
  const std::size_t tail = tail_.load(std::memory_order_relaxed);
  const std::size_t now = std::min(count, Readable());
  for (std::size_t n = 0; n < now; ++n)
    out[n] = buffer_[(tail + n) & mask_];
  tail_.store(tail + now, std::memory_order_release);
  return now;
}

}  // namespace whorlgen::analysis
