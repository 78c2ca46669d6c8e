#pragma once
// "JACK": the figure as six audio ports of a JACK client named "whorlgen"
// (x, y, r, g, b, i), for DC-coupled audio interfaces driven through a JACK
// server or PipeWire's JACK service. Listed in the DAC list while a server
// is running.

#include <chrono>
#include <memory>
#include <string>

#include "output/dac_catalog.h"

namespace whorlgen::audio {

inline constexpr const char* kJackDacName = "JACK";
inline constexpr const char* kJackClientName = "whorlgen";

// True when a JACK server answers; never starts one. The answer is kept for
// `maxAge`, so a catalog asked often costs one probe a second at most.
bool JackServerRunning(std::chrono::milliseconds maxAge = std::chrono::milliseconds(1000));

class JackDacFamily final : public output::DacFamily {
 public:
  std::string Kind() const override { return kJackDacName; }
  std::vector<output::DacInfo> Devices() override;
  std::unique_ptr<output::DacDriver> MakeDriver(const output::DacInfo& dac) override;
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
