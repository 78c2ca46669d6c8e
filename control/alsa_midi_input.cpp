#include "control/alsa_midi_input.h"

#include <alsa/asoundlib.h>
#include <poll.h>

#include <filesystem>

namespace whorlgen::control {

namespace {

std::string Reason(const char* step, int error) {
  return std::string(step) + ": " + snd_strerror(error);
}

}  // namespace

AlsaMidiInput::~AlsaMidiInput() {
  if (seq_ != nullptr)
    snd_seq_close(seq_);
}

bool AlsaMidiInput::SequencerPresent() {
  std::error_code error;
  return std::filesystem::exists("/dev/snd/seq", error);
}

std::string AlsaMidiInput::Open() {
  if (seq_ != nullptr)
    return {};
  if (!SequencerPresent())
    return "no ALSA sequencer on this machine (/dev/snd/seq is missing)";
  snd_seq_t* seq = nullptr;
  if (const int e = snd_seq_open(&seq, "default", SND_SEQ_OPEN_INPUT, SND_SEQ_NONBLOCK); e < 0)
    return Reason("cannot open the ALSA sequencer", e);
  snd_seq_set_client_name(seq, "Whorlgen");
  const int port = snd_seq_create_simple_port(
      seq, "Whorlgen in", SND_SEQ_PORT_CAP_WRITE | SND_SEQ_PORT_CAP_SUBS_WRITE,
      SND_SEQ_PORT_TYPE_MIDI_GENERIC | SND_SEQ_PORT_TYPE_APPLICATION);
  pollfd descriptor{};
  if (port < 0 || snd_seq_poll_descriptors(seq, &descriptor, 1, POLLIN) != 1) {
    snd_seq_close(seq);
    return port < 0 ? Reason("cannot create the MIDI input port", port)
                    : std::string("the ALSA sequencer offers nothing to wait on");
  }
  seq_ = seq;
  pollFd_ = descriptor.fd;
  return {};
}

std::vector<MidiEvent> AlsaMidiInput::Read() {
  std::vector<MidiEvent> events;
  if (seq_ == nullptr)
    return events;
  snd_seq_event_t* ev = nullptr;
  // Non-blocking: -EAGAIN once the queue is empty; -ENOSPC (an overrun) is
  // skipped so the messages after it still arrive.
  for (int got = 0; (got = snd_seq_event_input(seq_, &ev)) >= 0 || got == -ENOSPC;) {
    if (got < 0 || ev == nullptr)
      continue;
    switch (ev->type) {
      case SND_SEQ_EVENT_CONTROLLER:
        events.push_back({MidiEvent::Kind::ControlChange, ev->data.control.channel,
                          static_cast<int>(ev->data.control.param), ev->data.control.value});
        break;
      case SND_SEQ_EVENT_NOTEON:
        events.push_back({MidiEvent::Kind::NoteOn, ev->data.note.channel, ev->data.note.note,
                          ev->data.note.velocity});
        break;
      case SND_SEQ_EVENT_PGMCHANGE:
        events.push_back(
            {MidiEvent::Kind::ProgramChange, ev->data.control.channel, ev->data.control.value, 0});
        break;
      default:
        break;
    }
  }
  return events;
}

}  // namespace whorlgen::control
