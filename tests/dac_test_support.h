#pragma once
// Helpers for the DAC tests: the recording stand-in libraries, seen from the
// test, and a temporary directory.

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine/frame_generator.h"
#include "engine/parameters.h"
#include "output/device_library.h"
#include "tests/temp_dir.h"

namespace whorlgen::output::testing {

using whorlgen::testing::TempDir;

// A start-up frame of `points` points at `pointsPerSec`, mode 2, carrying
// the figure on from `generator` (from the origin when none is given).
inline engine::FrameData BuildTestFrame(std::int32_t points, std::int32_t pointsPerSec,
                                        engine::GeneratorState& generator) {
  engine::PatternParameters params = engine::StartupParameters();
  params.PointsPerFrame = points;
  params.PointsPerSec = pointsPerSec;
  engine::FrameData frame;
  engine::BuildFrame(params, generator, 2, true, frame);
  return frame;
}
inline engine::FrameData BuildTestFrame(std::int32_t points, std::int32_t pointsPerSec) {
  engine::GeneratorState generator;
  return BuildTestFrame(points, pointsPerSec, generator);
}

// One logged library call: its name and its arguments as numbers.
struct Call {
  std::string Name;
  std::vector<long long> Args;
};

inline std::vector<Call> ParseLog(const std::string& log) {
  std::vector<Call> calls;
  std::istringstream lines(log);
  std::string line;
  while (std::getline(lines, line)) {
    std::istringstream words(line);
    Call call;
    words >> call.Name;
    long long value = 0;
    while (words >> value)
      call.Args.push_back(value);
    calls.push_back(call);
  }
  return calls;
}

inline std::vector<std::string> Names(const std::vector<Call>& calls) {
  std::vector<std::string> names;
  for (const Call& call : calls)
    names.push_back(call.Name);
  return names;
}

inline long long AddressOf(const void* p) {
  return static_cast<long long>(reinterpret_cast<std::uintptr_t>(p));
}

// A stand-in library opened by the test. dlopen of the same path gives the
// same library the driver's loader gets, so the test scripts the answers
// and reads the log of the very library the driver calls.
class StandIn {
 public:
  StandIn(const std::filesystem::path& directory, DeviceLibrary library)
      : handle_(dlopen((directory / LibraryFileName(library)).c_str(), RTLD_NOW | RTLD_LOCAL)) {
    if (handle_ == nullptr)
      ADD_FAILURE() << "stand-in not loaded: " << dlerror();
    Reset();
  }
  StandIn(const StandIn&) = delete;
  StandIn& operator=(const StandIn&) = delete;
  ~StandIn() {
    if (handle_ != nullptr)
      dlclose(handle_);
  }

  void Reset() { Get<void (*)()>("StandIn_Reset")(); }
  std::vector<Call> Calls() { return ParseLog(Get<const char* (*)()>("StandIn_Log")()); }
  void SetCardCount(std::int32_t count) {
    Get<void (*)(std::int32_t)>("StandIn_SetCardCount")(count);
  }
  void SetStatuses(const std::vector<std::int16_t>& statuses, std::int16_t afterwards) {
    Get<void (*)(const std::int16_t*, std::int32_t, std::int16_t)>("StandIn_SetStatuses")(
        statuses.data(), static_cast<std::int32_t>(statuses.size()), afterwards);
  }
  void SetWriteAnswer(std::int16_t answer) {
    Get<void (*)(std::int16_t)>("StandIn_SetWriteAnswer")(answer);
  }
  void SetRiyaOpened(std::uint8_t opened) {
    Get<void (*)(std::uint8_t)>("StandIn_SetRiyaOpened")(opened);
  }
  void SetReadyAnswers(const std::vector<std::uint8_t>& answers, std::uint8_t afterwards) {
    Get<void (*)(const std::uint8_t*, std::int32_t, std::uint8_t)>("StandIn_SetReadyAnswers")(
        answers.data(), static_cast<std::int32_t>(answers.size()), afterwards);
  }

 private:
  template <typename Fn>
  Fn Get(const char* name) {
    void* address = handle_ != nullptr ? dlsym(handle_, name) : nullptr;
    if (address == nullptr)
      throw std::runtime_error(std::string("stand-in lacks ") + name);
    return reinterpret_cast<Fn>(address);
  }

  void* handle_;
};

// Everything written to standard error (file descriptor 2) while it lives
// goes to a temporary file instead; Text() reads it back.
class StderrCapture {
 public:
  StderrCapture() : file_(std::tmpfile()), saved_(dup(2)) {
    if (file_ == nullptr || saved_ < 0)
      throw std::runtime_error("cannot capture standard error");
    std::fflush(stderr);
    dup2(fileno(file_), 2);
  }
  StderrCapture(const StderrCapture&) = delete;
  StderrCapture& operator=(const StderrCapture&) = delete;
  ~StderrCapture() {
    Restore();
    std::fclose(file_);
  }
  std::string Text() {
    Restore();
    std::string text;
    std::rewind(file_);
    for (int c = std::fgetc(file_); c != EOF; c = std::fgetc(file_))
      text += static_cast<char>(c);
    return text;
  }

 private:
  void Restore() {
    if (saved_ < 0)
      return;
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    saved_ = -1;
  }

  std::FILE* file_;
  int saved_;
};

}  // namespace whorlgen::output::testing
