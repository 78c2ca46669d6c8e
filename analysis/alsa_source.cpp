// The music from an ALSA capture device, read on a thread of its own. The
// channels (a stereo pair, usually) are summed into one.

#include <alsa/asoundlib.h>

#include <atomic>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "analysis/audio_source.h"

namespace whorlgen::analysis {

namespace {

constexpr unsigned kWantedRate = 48000;
constexpr unsigned kWantedChannels = 2;
constexpr snd_pcm_uframes_t kPeriodFrames = 512;
constexpr int kWaitMs = 100;  // how soon a Stop is noticed

// alsa-lib prints its own complaints to stderr (no card, an unknown
// device); the page tells the reason in its words instead.
void SilentAlsaErrors(const char* /*file*/, int /*line*/, const char* /*function*/, int /*error*/,
                      const char* /*format*/, ...) {}

std::string AlsaReason(const char* what, int error) {
  return std::string(what) + ": " + snd_strerror(error);
}

class AlsaSource final : public AudioSource {
 public:
  explicit AlsaSource(std::string device) : device_(std::move(device)) {}
  ~AlsaSource() override { Stop(); }

  std::string Open() override {
    snd_lib_error_set_handler(SilentAlsaErrors);
    int error = snd_pcm_open(&pcm_, device_.c_str(), SND_PCM_STREAM_CAPTURE, SND_PCM_NONBLOCK);
    if (error < 0) {
      pcm_ = nullptr;
      return AlsaReason(("ALSA device " + device_).c_str(), error);
    }
    if (std::string problem = Configure(); !problem.empty()) {
      Close();
      return problem;
    }
    description_ = "ALSA device " + device_ + " (" + std::to_string(channels_) +
                   (channels_ == 1 ? " channel)" : " channels summed)");
    return {};
  }

  void Start(SampleRing& ring) override {
    stop_ = false;
    snd_pcm_start(pcm_);
    reader_ = std::thread([this, &ring] { ReadUntilStopped(ring); });
  }

  void Stop() override {
    stop_ = true;
    if (reader_.joinable())
      reader_.join();
    Close();
  }

  std::uint32_t SampleRate() const override { return rate_; }
  std::string Description() const override { return description_; }
  std::string Lost() const override {
    const std::lock_guard lock(lostMutex_);
    return lost_;
  }

 private:
  std::string Configure() {
    snd_pcm_hw_params_t* hw = nullptr;
    snd_pcm_hw_params_alloca(&hw);
    snd_pcm_hw_params_any(pcm_, hw);
    int error = snd_pcm_hw_params_set_access(pcm_, hw, SND_PCM_ACCESS_RW_INTERLEAVED);
    if (error < 0)
      return AlsaReason("interleaved capture", error);
    float_ = snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_FLOAT_LE) == 0;
    if (!float_ && (error = snd_pcm_hw_params_set_format(pcm_, hw, SND_PCM_FORMAT_S16_LE)) < 0)
      return AlsaReason("neither float nor 16-bit samples", error);
    channels_ = kWantedChannels;
    if ((error = snd_pcm_hw_params_set_channels_near(pcm_, hw, &channels_)) < 0)
      return AlsaReason("channels", error);
    rate_ = kWantedRate;
    if ((error = snd_pcm_hw_params_set_rate_near(pcm_, hw, &rate_, nullptr)) < 0)
      return AlsaReason("sample rate", error);
    snd_pcm_uframes_t period = kPeriodFrames;
    snd_pcm_hw_params_set_period_size_near(pcm_, hw, &period, nullptr);
    snd_pcm_uframes_t buffer = period * 8;
    snd_pcm_hw_params_set_buffer_size_near(pcm_, hw, &buffer);
    if ((error = snd_pcm_hw_params(pcm_, hw)) < 0)
      return AlsaReason("capture settings", error);
    period_ = period;
    return {};
  }

  void ReadUntilStopped(SampleRing& ring) {
    std::vector<float> raw(period_ * channels_);
    std::vector<std::int16_t> raw16(float_ ? 0 : period_ * channels_);
    std::vector<float> mono(period_);
    while (!stop_) {
      snd_pcm_wait(pcm_, kWaitMs);
      void* into = float_ ? static_cast<void*>(raw.data()) : static_cast<void*>(raw16.data());
      const snd_pcm_sframes_t got = snd_pcm_readi(pcm_, into, period_);
      if (got == -EAGAIN)
        continue;
      if (got < 0 && Recover(static_cast<int>(got)))
        continue;
      if (got < 0) {
        ring.Wake();  // the analysis sees the input is lost
        return;
      }
      for (snd_pcm_sframes_t n = 0; n < got; ++n) {
        float sum = 0.0F;
        for (unsigned c = 0; c < channels_; ++c) {
          const std::size_t at = static_cast<std::size_t>(n) * channels_ + c;
          sum += float_ ? raw[at] : raw16[at] / 32768.0F;
        }
        mono[static_cast<std::size_t>(n)] = sum;
      }
      ring.Write(mono.data(), static_cast<std::size_t>(got));
    }
  }

  // An overrun (the thread was not scheduled in time) or a suspend is
  // recovered from; anything else ends the input, with ALSA's reason.
  bool Recover(int error) {
    if (snd_pcm_recover(pcm_, error, 1) == 0) {
      snd_pcm_start(pcm_);
      return true;
    }
    const std::lock_guard lock(lostMutex_);
    lost_ = AlsaReason(("ALSA device " + device_ + " stopped").c_str(), error);
    return false;
  }

  void Close() {
    if (pcm_ != nullptr) {
      snd_pcm_close(pcm_);
      pcm_ = nullptr;
    }
  }

  std::string device_;
  snd_pcm_t* pcm_ = nullptr;
  bool float_ = true;
  unsigned channels_ = 0;
  unsigned rate_ = 0;
  snd_pcm_uframes_t period_ = kPeriodFrames;
  std::string description_;
  std::atomic<bool> stop_{false};
  std::thread reader_;
  mutable std::mutex lostMutex_;
  std::string lost_;
};

std::string HintText(const void* hint, const char* field) {
  char* text = snd_device_name_get_hint(hint, field);
  std::string result = text != nullptr ? text : "";
  free(text);
  for (char& c : result)
    if (c == '\n')
      c = ' ';
  return result;
}

// "auto": JACK while a server runs, ALSA's default device otherwise.
class AutoSource final : public AudioSource {
 public:
  std::string Open() override {
    chosen_ = MakeJackSource();
    const std::string noJack = chosen_->Open();
    if (noJack.empty())
      return {};
    chosen_ = MakeAlsaSource("default");
    const std::string noAlsa = chosen_->Open();
    if (noAlsa.empty())
      return {};
    chosen_.reset();
    return noJack + "; " + noAlsa;
  }
  void Start(SampleRing& ring) override { chosen_->Start(ring); }
  void Stop() override {
    if (chosen_)
      chosen_->Stop();
  }
  std::uint32_t SampleRate() const override { return chosen_ ? chosen_->SampleRate() : 0; }
  std::string Description() const override { return chosen_ ? chosen_->Description() : ""; }
  std::string Lost() const override { return chosen_ ? chosen_->Lost() : ""; }

 private:
  std::unique_ptr<AudioSource> chosen_;
};

}  // namespace

std::unique_ptr<AudioSource> MakeAlsaSource(const std::string& device) {
  return std::make_unique<AlsaSource>(device);
}

std::unique_ptr<AudioSource> MakeAudioSource(const std::string& device) {
  if (device.empty() || device == "auto")
    return std::make_unique<AutoSource>();
  if (device == "jack")
    return MakeJackSource();
  return MakeAlsaSource(device);
}

std::vector<CaptureDevice> AlsaCaptureDevices() {
  std::vector<CaptureDevice> devices = {{"default", "ALSA's default device"}};
  void** hints = nullptr;
  if (snd_device_name_hint(-1, "pcm", &hints) < 0)
    return devices;
  for (void** hint = hints; *hint != nullptr; ++hint) {
    const std::string name = HintText(*hint, "NAME");
    const std::string direction = HintText(*hint, "IOID");  // empty: both ways
    if (name.empty() || name == "default" || direction == "Output")
      continue;
    devices.push_back({name, HintText(*hint, "DESC")});
  }
  snd_device_name_free_hint(hints);
  return devices;
}

}  // namespace whorlgen::analysis
