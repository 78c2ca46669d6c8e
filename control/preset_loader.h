#pragma once
// Presets read and checked away from the panel's thread. Requests are read
// one after another, in the order they came, and their results wait in a
// bounded mailbox for the panel, which carries them out in that order. A
// damaged or hostile file (a pipe, a megabyte of brackets) costs the reader
// its time, never the panel.

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "control/preset.h"

namespace whorlgen::control {

class PresetLoader {
 public:
  // Requests waiting, being read or read and not yet taken.
  static constexpr std::size_t kMaxOutstanding = 16;

  struct Result {
    std::uint64_t Id = 0;
    std::filesystem::path File;
    PresetReading Reading;
  };

  // wake runs on the reader's thread whenever results start waiting.
  explicit PresetLoader(std::function<void()> wake);
  ~PresetLoader();
  PresetLoader(const PresetLoader&) = delete;
  PresetLoader& operator=(const PresetLoader&) = delete;

  // The request's id, in increasing order; nothing when kMaxOutstanding are
  // already outstanding.
  std::optional<std::uint64_t> Request(std::filesystem::path file);
  // The results read so far, in the order they were asked for.
  std::vector<Result> Take();

 private:
  struct Job {
    std::uint64_t Id = 0;
    std::filesystem::path File;
  };
  void Run(const std::stop_token& stop);

  std::function<void()> wake_;
  std::mutex mutex_;
  std::condition_variable_any wanted_;
  std::deque<Job> jobs_;
  std::vector<Result> results_;
  std::size_t outstanding_ = 0;
  std::uint64_t nextId_ = 1;
  std::jthread reader_;  // last: stops and joins before the rest goes
};

}  // namespace whorlgen::control
