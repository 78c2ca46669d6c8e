#include "output/device_runner.h"

#include <algorithm>
#include <cassert>
#include <exception>
#include <utility>

namespace whorlgen::output {

DeviceRunner::DeviceRunner(std::unique_ptr<DacDriver> driver, std::function<void()> wake)
    : driver_(std::move(driver)),
      wake_(std::move(wake)),
      watch_([this] { Watch(); }),
      thread_([this] { Serve(); }) {}

DeviceRunner::~DeviceRunner() {
  driver_->Interrupt();
  {
    std::lock_guard lock(mutex_);
    quit_ = true;
  }
  jobArrived_.notify_one();
  watchChanged_.notify_one();
  thread_.join();
  watch_.join();
}

void DeviceRunner::Open(engine::GeneratorState& generator) {
  {
    std::lock_guard lock(mutex_);
    assert(!job_);
    generator_ = &generator;
    job_ = Job::Open;
  }
  jobArrived_.notify_one();
}

void DeviceRunner::Send(const engine::FrameData& frame, std::int32_t pointsPerSec) {
  {
    std::lock_guard lock(mutex_);
    assert(!job_);
    frame_ = &frame;
    pointsPerSec_ = pointsPerSec;
    job_ = Job::Send;
  }
  jobArrived_.notify_one();
}

void DeviceRunner::Close() {
  {
    std::lock_guard lock(mutex_);
    assert(!job_);
    job_ = Job::Close;
  }
  jobArrived_.notify_one();
}

void DeviceRunner::Interrupt() {
  driver_->Interrupt();
}

void DeviceRunner::InterruptUnlessDoneWithin(std::chrono::milliseconds patience) {
  {
    std::lock_guard lock(mutex_);
    if (patience_ && *patience_ <= patience)
      return;  // an earlier, shorter word stands
    patience_ = patience;
    patienceFrom_ = std::chrono::steady_clock::now();
  }
  watchChanged_.notify_one();
}

void DeviceRunner::Watch() {
  std::unique_lock lock(mutex_);
  while (!quit_) {
    if (!patience_ || !working_) {
      watchChanged_.wait(lock);
      continue;
    }
    const std::uint64_t job = jobNumber_;
    const auto deadline = std::max(jobStartedAt_, patienceFrom_) + *patience_;
    if (watchChanged_.wait_until(lock, deadline,
                                 [&] { return quit_ || !working_ || jobNumber_ != job; }))
      continue;
    lock.unlock();
    driver_->Interrupt();
    lock.lock();
    // Once is enough: the driver's waits now give way for good.
    while (!quit_)
      watchChanged_.wait(lock);
  }
}

std::optional<DeviceRunner::Finished> DeviceRunner::TakeFinished() {
  std::lock_guard lock(mutex_);
  return std::exchange(finished_, std::nullopt);
}

void DeviceRunner::Serve() {
  std::unique_lock lock(mutex_);
  for (;;) {
    jobArrived_.wait(lock, [this] { return quit_ || job_.has_value(); });
    if (quit_) {
      // A run that ends without its close (the program going away) still
      // leaves the device closed and dark.
      if (opened_ && !closed_)
        driver_->CloseDac();
      return;
    }
    const Job job = *job_;
    working_ = true;
    ++jobNumber_;
    jobStartedAt_ = std::chrono::steady_clock::now();
    watchChanged_.notify_one();
    lock.unlock();
    Finished finished = Perform(job);
    lock.lock();
    working_ = false;
    watchChanged_.notify_one();
    job_.reset();
    finished_ = std::move(finished);
    lock.unlock();
    wake_();
    lock.lock();
  }
}

DeviceRunner::Finished DeviceRunner::Perform(Job job) {
  Finished finished{job, {}, {}};
  try {
    switch (job) {
      case Job::Open:
        opened_ = true;
        finished.Failure = driver_->OpenDac(*generator_);
        break;
      case Job::Send:
        finished.Failure = driver_->SendFrame(*frame_, pointsPerSec_);
        break;
      case Job::Close:
        closed_ = true;
        finished.Failure = driver_->CloseDac();
        break;
    }
  } catch (const std::exception& e) {
    // A device's fault must end the run in words, not the program.
    finished.Failure = std::string("The DAC failed: ") + e.what();
  }
  finished.StatusNote = driver_->StatusNote();
  return finished;
}

}  // namespace whorlgen::output
