#pragma once
// ALSA's own list of playback devices, as the Devices window offers them.

#include <string>
#include <vector>

namespace whorlgen::audio {

struct AlsaDevice {
  std::string Name;         // what ALSA opens: "default", "plughw:CARD=PCH,DEV=0"
  std::string Description;  // ALSA's words for it, on one line
};

// The devices from ALSA's name hints that can play; "default" first.
std::vector<AlsaDevice> AlsaPlaybackDevices();

// How many sound cards the machine has.
int SoundCardCount();

}  // namespace whorlgen::audio
