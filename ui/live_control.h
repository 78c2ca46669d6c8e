#pragma once
// Live control of the panel: MIDI learn and the controller's messages, the
// OSC receiver, and presets (save, open, morph, the recent ones). Everything
// reaches the panel on its own thread, through the window's door, so each
// value moves its bar exactly as a hand would. Presets are read on a reader
// thread and carried out here in the order they were asked for; no dialog
// runs a loop of its own, so none can hold a run.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <chrono>
#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "control/alsa_midi_input.h"
#include "control/midi_mapping.h"
#include "control/osc_server.h"
#include "control/preset.h"
#include "control/preset_loader.h"

class QAction;
class QMenu;
class QSocketNotifier;

namespace whorlgen::ui {

class FrmWhorlgen;
class MusicModulation;

class LiveControl : public QObject {
  Q_OBJECT

 public:
  // Adds the "Presets" menu and "Learn MIDI" to the window's menu bar, and
  // opens MIDI and (when the settings file asks) OSC.
  explicit LiveControl(FrmWhorlgen& window);
  ~LiveControl() override;

  // Presets. Saving returns an empty string or the problem in words. Opening
  // and morphing read the file on the reader thread and finish with
  // PresetDone; a preset that cannot be read changes nothing.
  QString SavePreset(const QString& file);
  void OpenPreset(const QString& file);
  void MorphTo(const QString& file, double duration_s);
  bool Morphing() const { return morphTimer_.isActive(); }
  QStringList RecentPresets() const;
  control::Preset CurrentFigure() const;

  // MIDI.
  control::MidiMapping& Midi() { return midi_; }
  void BeginMidiLearn();
  void CancelMidiLearn();
  // One message from a controller, as the sequencer would deliver it.
  void HandleMidi(const control::MidiEvent& event);
  void ForgetMidi(const std::string& target);
  QString MidiStatus() const { return midiStatus_; }

  // OSC, kept in the settings file. `senders` lists the addresses and
  // networks allowed to send ("192.168.1.0/24, 10.0.0.5"); empty: anyone.
  QString SetOsc(bool enabled, int port, const QString& senders);
  QString SetOsc(bool enabled, int port) { return SetOsc(enabled, port, oscSenders_); }
  bool OscEnabled() const { return oscEnabled_; }
  int OscPort() const { return oscPort_; }
  QString OscSenders() const { return oscSenders_; }
  bool OscListening() const { return osc_.Listening(); }
  QString OscStatus() const { return oscStatus_; }
  // Messages ignored: unknown, wrong arguments, not OSC, from a sender not
  // allowed, or a preset that could not be read; the last such problem in words.
  std::uint64_t Ignored() const { return osc_.Ignored() + remoteRejected_; }
  QString LastRemoteProblem() const;

  // Carries out what the OSC receiver has gathered; normally queued from its thread.
  void DrainOsc();

  // The modulation matrix that presets carry and OSC bypasses.
  void SetMusic(MusicModulation* music) { music_ = music; }

 signals:
  void Changed();  // mapping, OSC state or counts changed: pages refresh
  // A preset asked for by OpenPreset, MorphTo or a remote sender has been
  // carried out (problem empty) or refused.
  void PresetDone(const QString& file, const QString& problem);

 private:
  enum class PresetUse { Open, Morph, Remote };
  struct PendingPreset {
    std::uint64_t Id = 0;
    QString File;
    PresetUse Use = PresetUse::Open;
    double Morph_s = 0.0;
  };

  void BuildMenus();
  void FillRecentMenu();
  void RememberRecent(const QString& file);
  void LoadMidiMapping();
  void SaveMidiMapping();
  void OpenMidiInput();
  void ReadOscSettings();
  QString ListenOsc();
  void ReadMidiInput();
  void OnControlTouched(const QString& target);
  void ShowLearnState();
  void CarryOutHeldOsc();
  void Apply(const control::Command& command);
  void RequestPreset(const QString& file, PresetUse use, double morph_s);
  void TakeReadPresets();
  void FinishPreset(const PendingPreset& pending, control::PresetReading reading);
  void RefuseRemote(const QString& problem);
  void ApplyFigure(const control::Preset& preset);
  void ApplyModeAndChecks(const control::Preset& preset);
  void StartMorph(control::Preset destination, double duration_s);
  void MorphStep();
  void ShowProblem(const QString& problem);

  void mnuPresetSave_Click();
  void mnuPresetOpen_Click();
  void mnuPresetMorph_Click();
  void mnuLearnMidi_Click();

  FrmWhorlgen& window_;
  std::vector<control::BarRange> bars_;
  control::MidiMapping midi_;
  control::AlsaMidiInput midiInput_;
  QSocketNotifier* midiNotifier_ = nullptr;
  QString midiStatus_;
  control::OscServer osc_;
  bool oscEnabled_ = false;
  int oscPort_ = control::kDefaultOscPort;
  QString oscSenders_;
  QString oscStatus_;
  std::uint64_t remoteRejected_ = 0;
  QString lastRemoteProblem_;
  std::chrono::steady_clock::time_point lastRemoteProblemAt_;
  bool applying_ = false;  // our own changes are not the operator's touches
  MusicModulation* music_ = nullptr;

  // Presets asked for and not yet carried out, oldest first. While one from
  // a remote sender is among them, what the sender asked for after it waits
  // in heldOsc_ (then in the receiver's mailbox), so it comes after the preset.
  control::PresetLoader presets_;
  std::deque<PendingPreset> pendingPresets_;
  int remotePresetsPending_ = 0;
  std::deque<control::Command> heldOsc_;

  QMenu* mnuPresets_ = nullptr;
  QMenu* mnuRecent_ = nullptr;
  QAction* mnuLearnMidi_ = nullptr;

  QTimer morphTimer_;
  // OSC commands wait this long after the first of a batch arrives: far
  // under a frame, long enough to take a flood in a few gulps.
  static constexpr int kOscBatchMs = 5;
  QTimer oscBatch_;
  QElapsedTimer morphClock_;
  double morphDuration_ms_ = 0.0;
  control::Preset morphFrom_;
  control::Preset morphTo_;
};

}  // namespace whorlgen::ui
