#pragma once
// Where the music comes from: a JACK input port, an ALSA capture device, or
// in tests a feeder of made-up audio. Each hands mono samples to a ring.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "analysis/sample_ring.h"

namespace whorlgen::analysis {

class AudioSource {
 public:
  virtual ~AudioSource() = default;
  // Opens the device (on the input's own thread, never the panel's). Empty,
  // or why it cannot be used; on success SampleRate() and Description() hold.
  virtual std::string Open() = 0;
  // Begins handing samples to `ring` from the source's own thread; returns at once.
  virtual void Start(SampleRing& ring) = 0;
  // Stops handing samples and closes the device; the ring is not touched after.
  virtual void Stop() = 0;
  virtual std::uint32_t SampleRate() const = 0;
  // "JACK port whorlgen:in", "ALSA device default (2 channels summed)".
  virtual std::string Description() const = 0;
  // A reason the source stopped by itself (the JACK server went away); empty while it runs.
  virtual std::string Lost() const { return {}; }
};

// The JACK client's name and its input port; connections to the port are summed.
inline constexpr const char* kJackInputClient = "whorlgen";
inline constexpr const char* kJackInputPort = "in";

// The device word of the settings file: "auto" (JACK while a server runs,
// otherwise ALSA's "default"), "jack", or an ALSA capture device name.
std::unique_ptr<AudioSource> MakeAudioSource(const std::string& device);
std::unique_ptr<AudioSource> MakeJackSource();
std::unique_ptr<AudioSource> MakeAlsaSource(const std::string& device);

struct CaptureDevice {
  std::string Name;         // what ALSA opens
  std::string Description;  // on one line
};
// ALSA's capture devices, "default" first.
std::vector<CaptureDevice> AlsaCaptureDevices();

}  // namespace whorlgen::analysis
