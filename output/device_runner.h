#pragma once
// The device's side of one run. A DAC's calls can wait a long time (a card
// playing a long frame, a unit that does not answer), so they run here, one
// at a time, on a thread of their own; the panel's thread hands each job
// over and goes back to the panel. When a job has finished, `wake` is called
// on the device's thread, and the panel's thread takes the outcome with
// TakeFinished().
//
// The frame given to Send is read in place until its job has finished: the
// caller leaves it alone until then.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "engine/frame_generator.h"
#include "output/dac_driver.h"

namespace whorlgen::output {

class DeviceRunner {
 public:
  enum class Job { Open, Send, Close };
  struct Finished {
    Job Done = Job::Open;
    DacFailure Failure;
    std::string StatusNote;  // the driver's word right after the job
  };

  DeviceRunner(std::unique_ptr<DacDriver> driver, std::function<void()> wake);
  // Interrupts a job still running, waits for it and ends the thread.
  ~DeviceRunner();
  DeviceRunner(const DeviceRunner&) = delete;
  DeviceRunner& operator=(const DeviceRunner&) = delete;

  // Each starts one job; only one may be under way at a time.
  void Open(engine::GeneratorState& generator);
  void Send(const engine::FrameData& frame, std::int32_t pointsPerSec);
  void Close();
  // The run is ending: the job under way stops waiting for the device.
  void Interrupt();
  // The run is ending but a healthy device may finish what it does (the
  // frame it waits for, the dark lead-out of its close): from now on any job
  // still under way `patience` after this call or after its own start is
  // interrupted.
  void InterruptUnlessDoneWithin(std::chrono::milliseconds patience);

  // The job that has finished since the last call, if any.
  std::optional<Finished> TakeFinished();

 private:
  void Serve();
  void Watch();
  Finished Perform(Job job);

  std::unique_ptr<DacDriver> driver_;
  std::function<void()> wake_;

  std::mutex mutex_;
  std::condition_variable jobArrived_;
  std::optional<Job> job_;  // waiting to be taken by the thread
  engine::GeneratorState* generator_ = nullptr;
  const engine::FrameData* frame_ = nullptr;
  std::int32_t pointsPerSec_ = 0;
  std::optional<Finished> finished_;
  bool quit_ = false;
  // For the watch: the job under way, and how long any job may still take.
  std::condition_variable watchChanged_;
  bool working_ = false;
  std::uint64_t jobNumber_ = 0;
  std::chrono::steady_clock::time_point jobStartedAt_;
  std::optional<std::chrono::milliseconds> patience_;
  std::chrono::steady_clock::time_point patienceFrom_;
  bool opened_ = false;  // the device's thread's own: OpenDac was called
  bool closed_ = false;  // and CloseDac
  std::thread watch_;    // last: they start once the rest is ready
  std::thread thread_;
};

}  // namespace whorlgen::output
