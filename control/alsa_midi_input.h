#pragma once
// The program's MIDI input: an ALSA sequencer client "Whorlgen" with one
// input port that controllers (or aconnect) connect to. Reading never
// blocks; the panel watches PollDescriptor() and drains Read() when it is
// ready.

#include <string>
#include <vector>

#include "control/midi_mapping.h"

struct _snd_seq;

namespace whorlgen::control {

class AlsaMidiInput {
 public:
  AlsaMidiInput() = default;
  ~AlsaMidiInput();
  AlsaMidiInput(const AlsaMidiInput&) = delete;
  AlsaMidiInput& operator=(const AlsaMidiInput&) = delete;

  // The sequencer exists only where /dev/snd/seq does.
  static bool SequencerPresent();
  // Empty, or why the client could not be made.
  std::string Open();
  bool IsOpen() const { return seq_ != nullptr; }
  int PollDescriptor() const { return pollFd_; }
  // Every message waiting, as far as the mapping understands them.
  std::vector<MidiEvent> Read();

 private:
  _snd_seq* seq_ = nullptr;
  int pollFd_ = -1;
};

}  // namespace whorlgen::control
