#include "audio/alsa_devices.h"

#include <alsa/asoundlib.h>

#include <algorithm>
#include <cstdlib>

namespace whorlgen::audio {

namespace {

// A hint's field; the caller owns nothing.
std::string HintText(const void* hint, const char* field) {
  char* text = snd_device_name_get_hint(hint, field);
  std::string value = text != nullptr ? text : "";
  std::free(text);
  return value;
}

}  // namespace

std::vector<AlsaDevice> AlsaPlaybackDevices() {
  std::vector<AlsaDevice> devices;
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0)
    return {{"default", "the system's default device"}};
  for (void** hint = hints; *hint != nullptr; ++hint) {
    const std::string name = HintText(*hint, "NAME");
    const std::string direction = HintText(*hint, "IOID");  // empty: both ways
    if (name.empty() || name == "null" || direction == "Input")
      continue;
    std::string description = HintText(*hint, "DESC");
    std::replace(description.begin(), description.end(), '\n', ' ');
    devices.push_back({name, description});
  }
  snd_device_name_free_hint(hints);
  const auto isDefault = [](const AlsaDevice& d) { return d.Name == "default"; };
  if (std::none_of(devices.begin(), devices.end(), isDefault))
    devices.insert(devices.begin(), {"default", "the system's default device"});
  std::stable_partition(devices.begin(), devices.end(), isDefault);
  return devices;
}

int SoundCardCount() {
  int count = 0;
  for (int card = -1; snd_card_next(&card) == 0 && card >= 0;)
    ++count;
  return count;
}

}  // namespace whorlgen::audio
