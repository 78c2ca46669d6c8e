#include "control/preset_loader.h"

namespace whorlgen::control {

PresetLoader::PresetLoader(std::function<void()> wake)
    : wake_(std::move(wake)), reader_([this](const std::stop_token& stop) { Run(stop); }) {}

PresetLoader::~PresetLoader() {
  reader_.request_stop();
  wanted_.notify_all();
}

std::optional<std::uint64_t> PresetLoader::Request(std::filesystem::path file) {
  std::uint64_t id = 0;
  {
    const std::lock_guard lock(mutex_);
    if (outstanding_ >= kMaxOutstanding)
      return std::nullopt;
    ++outstanding_;
    id = nextId_++;
    jobs_.push_back({id, std::move(file)});
  }
  wanted_.notify_one();
  return id;
}

std::vector<PresetLoader::Result> PresetLoader::Take() {
  const std::lock_guard lock(mutex_);
  std::vector<Result> taken;
  taken.swap(results_);
  outstanding_ -= taken.size();
  return taken;
}

void PresetLoader::Run(const std::stop_token& stop) {
  std::unique_lock lock(mutex_);
  while (wanted_.wait(lock, stop, [this] { return !jobs_.empty(); })) {
    Job job = std::move(jobs_.front());
    jobs_.pop_front();
    lock.unlock();
    PresetReading reading = ReadPresetFile(job.File);
    lock.lock();
    const bool wasEmpty = results_.empty();
    results_.push_back({job.Id, std::move(job.File), std::move(reading)});
    if (wasEmpty && wake_) {
      lock.unlock();
      wake_();
      lock.lock();
    }
  }
}

}  // namespace whorlgen::control
