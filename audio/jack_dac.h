#pragma once
// "JACK": the figure as six audio ports of a JACK client named "whorlgen"
// (x, y, r, g, b, i), for DC-coupled audio interfaces driven through a JACK
// server or PipeWire's JACK service. Listed in the DAC list while a server
// is running.

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "output/dac_catalog.h"

namespace whorlgen::audio {

inline constexpr const char* kJackDacName = "JACK";
inline constexpr const char* kJackClientName = "whorlgen";

// True when a JACK server answers; never starts one. The answer is kept for
// `maxAge`. It opens (and closes) a client, which every JACK client sees come
// and go: only for an explicit look, never on a timer.
bool JackServerRunning(std::chrono::milliseconds maxAge = std::chrono::milliseconds(1000));

// "JACK" is listed while a server runs. jackd is noticed passively, by its
// socket appearing in and leaving JACK's socket folder (/dev/shm, watched
// with inotify; the server's name is JACK_DEFAULT_SERVER or "default").
// A server with no such socket (PipeWire's JACK service) is found by a Scan,
// which opens a client once, and is listed until a Scan finds it gone.
class JackDacFamily final : public output::DacFamily {
 public:
  explicit JackDacFamily(std::string socketFolder = "/dev/shm");
  ~JackDacFamily() override;
  std::string Kind() const override { return kJackDacName; }
  void Scan() override;
  std::vector<output::DacInfo> Devices() override;
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo& dac) override;
  void WatchChanges(std::function<void()> changed) override;

 private:
  bool SocketThere() const;
  void Watch();

  const std::string folder_;
  const std::string socketName_;  // "jack_default_1000_0"
  std::atomic<bool> socketThere_{false};
  std::atomic<bool> foundByScan_{false};
  std::function<void()> changed_;
  int inotify_ = -1;
  int wake_ = -1;  // an eventfd that ends the watch
  std::thread watcher_;
};

// Sample values on the ports: X and Y from -1 to +1 over codes 0 to 4095,
// colours from 0 to 1 over levels 0 to 255.
constexpr float JackPosition(int code) {
  return static_cast<float>((code - 2047.5) / 2047.5);
}
constexpr float JackLevel(int level) {
  return static_cast<float>(level / 255.0);
}

// How the current or last JACK run went, for the Devices window.
struct JackRunCounts {
  unsigned long long Underruns = 0;  // cycles that found less audio queued than they needed
  unsigned long long Xruns = 0;      // the server's own reports
  unsigned SampleRate = 0;           // 0 before the first run
};
JackRunCounts LastJackRunCounts();

}  // namespace whorlgen::audio
