#pragma once
// Live control of the panel: MIDI learn and the controller's messages, the
// OSC receiver, and presets (save, open, morph, the recent ones). Everything
// reaches the panel on its own thread, through the window's door, so each
// value moves its bar exactly as a hand would.

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "control/alsa_midi_input.h"
#include "control/midi_mapping.h"
#include "control/osc_server.h"
#include "control/preset.h"

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

  // Presets. Each returns an empty string, or the problem in words; a preset
  // that cannot be read changes nothing.
  QString SavePreset(const QString& file);
  QString OpenPreset(const QString& file);
  QString MorphTo(const QString& file, double duration_s);
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

  // OSC, kept in the settings file.
  QString SetOsc(bool enabled, int port);
  bool OscEnabled() const { return oscEnabled_; }
  int OscPort() const { return oscPort_; }
  bool OscListening() const { return osc_.Listening(); }
  QString OscStatus() const { return oscStatus_; }
  // Messages ignored: unknown, wrong arguments, not OSC, or a preset that
  // could not be read; the last such problem in words.
  std::uint64_t Ignored() const { return osc_.Ignored() + remoteRejected_; }
  QString LastRemoteProblem() const { return lastRemoteProblem_; }

  // Carries out what the OSC receiver has gathered; normally queued from its thread.
  void DrainOsc();

  // The modulation matrix that presets carry and OSC bypasses.
  void SetMusic(MusicModulation* music) { music_ = music; }

 signals:
  void Changed();  // mapping, OSC state or counts changed: pages refresh

 private:
  void BuildMenus();
  void FillRecentMenu();
  void RememberRecent(const QString& file);
  void LoadMidiMapping();
  void SaveMidiMapping();
  void OpenMidiInput();
  QString ListenOsc();
  void ReadMidiInput();
  void OnControlTouched(const QString& target);
  void ShowLearnState();
  void Apply(const control::Command& command);
  void ApplyFigure(const control::Preset& preset);
  void ApplyModeAndChecks(const control::Preset& preset);
  void MorphStep();
  QString ReadPreset(const QString& file, control::Preset& preset) const;

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
  QString oscStatus_;
  std::uint64_t remoteRejected_ = 0;
  QString lastRemoteProblem_;
  bool applying_ = false;  // our own changes are not the operator's touches
  MusicModulation* music_ = nullptr;

  QMenu* mnuPresets_ = nullptr;
  QMenu* mnuRecent_ = nullptr;
  QAction* mnuLearnMidi_ = nullptr;

  QTimer morphTimer_;
  QElapsedTimer morphClock_;
  double morphDuration_ms_ = 0.0;
  control::Preset morphFrom_;
  control::Preset morphTo_;
};

}  // namespace whorlgen::ui
