// The music from a JACK input port. The port's buffer is copied into the ring
// in the server's real-time thread: no allocation, no lock, no wait.

#include <jack/jack.h>

#include <atomic>
#include <cstdio>

#include "analysis/audio_source.h"

namespace whorlgen::analysis {

namespace {

void Quiet(const char* /*message*/) {}

class JackSource final : public AudioSource {
 public:
  ~JackSource() override { Stop(); }

  std::string Open() override {
    // libjack would print to stderr when no server answers; the page says it.
    jack_set_error_function(Quiet);
    jack_set_info_function(Quiet);
    jack_status_t status{};
    client_ = jack_client_open(kJackInputClient, JackNoStartServer, &status);
    if (client_ == nullptr)
      return (status & JackServerFailed) != 0 ? "no JACK server is running"
                                              : "JACK refused the client";
    port_ =
        jack_port_register(client_, kJackInputPort, JACK_DEFAULT_AUDIO_TYPE, JackPortIsInput, 0);
    if (port_ == nullptr) {
      Close();
      return "JACK refused the input port";
    }
    description_ = std::string("JACK port ") + jack_port_name(port_);
    return {};
  }

  void Start(SampleRing& ring) override {
    ring_ = &ring;
    jack_set_process_callback(client_, &JackSource::Process, this);
    jack_on_info_shutdown(client_, &JackSource::Shutdown, this);
    if (jack_activate(client_) != 0)
      Lost("the JACK client could not be activated");
  }

  void Stop() override { Close(); }

  std::uint32_t SampleRate() const override {
    return client_ != nullptr ? jack_get_sample_rate(client_) : 0;
  }
  std::string Description() const override { return description_; }
  std::string Lost() const override {
    return lost_.load(std::memory_order_acquire) ? std::string(reason_) : std::string();
  }

 private:
  void Close() {
    if (client_ == nullptr)
      return;
    // A client whose server has gone can only be closed.
    if (!lost_.load(std::memory_order_acquire))
      jack_deactivate(client_);
    jack_client_close(client_);
    client_ = nullptr;
  }

  void Lost(const char* reason) {
    std::snprintf(reason_, sizeof reason_, "%s", reason);
    lost_.store(true, std::memory_order_release);
  }

  static int Process(jack_nframes_t frames, void* self) {
    auto* source = static_cast<JackSource*>(self);
    const auto* samples = static_cast<const float*>(jack_port_get_buffer(source->port_, frames));
    source->ring_->Write(samples, frames);
    return 0;
  }

  static void Shutdown(jack_status_t /*code*/, const char* reason, void* self) {
    auto* source = static_cast<JackSource*>(self);
    char text[sizeof source->reason_];
    std::snprintf(text, sizeof text, "the JACK server shut down (%s)",
                  reason != nullptr && *reason != '\0' ? reason : "no reason given");
    source->Lost(text);
    if (source->ring_ != nullptr)
      source->ring_->Wake();
  }

  jack_client_t* client_ = nullptr;
  jack_port_t* port_ = nullptr;
  SampleRing* ring_ = nullptr;
  std::string description_;
  std::atomic<bool> lost_{false};
  char reason_[256] = {};
};

}  // namespace

std::unique_ptr<AudioSource> MakeJackSource() {
  return std::make_unique<JackSource>();
}

}  // namespace whorlgen::analysis
