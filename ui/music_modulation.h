#pragma once
// The figure follows the music: the audio input and its analysis, the LFOs
// and the modulation matrix, wired to the panel. Before each frame of a run
// the matrix moves its bars through the window's door, as a hand would, so
// the frame carries the values; at the end of a run, with Bypass, and when
// the matrix changes, the bars go back to rest. Rows live in presets only:
// every start begins without them.

#include <QObject>
#include <QString>
#include <QTimer>
#include <memory>
#include <string>
#include <vector>

#include "analysis/music_input.h"
#include "control/preset.h"
#include "modulation/modulator.h"

namespace whorlgen::ui {

class FrmWhorlgen;

class MusicModulation : public QObject {
  Q_OBJECT

 public:
  // Opens the audio input at once only when the settings file says it is on.
  explicit MusicModulation(FrmWhorlgen& window);
  ~MusicModulation() override;

  // ---- Audio input, kept in the settings file ([audioin] enabled, device) ----
  bool InputOn() const { return input_ != nullptr; }
  QString InputDevice() const { return device_; }
  // Opens (or closes) the input on a thread of its own; returns at once.
  void SetInput(bool on, const QString& device);
  // What the input is doing, in words for the page.
  QString InputStatusText() const;
  analysis::MusicValues Music() const;

  // ---- The matrix ----
  const modulation::Matrix& CurrentMatrix() const { return modulator_.CurrentMatrix(); }
  void SetMatrix(const modulation::Matrix& matrix);
  bool Bypassed() const { return modulator_.Bypassed(); }
  void SetBypass(bool on);
  double LfoValue(int index) const { return modulator_.LfoValue(index); }

  // The window's frame hook: the show's playing time since Start.
  void BeforeFrame(double showSeconds);

  // ---- Presets: the "modulation" object, as JSON text ----
  // Empty, or why the object is not a matrix.
  std::string CheckPreset(const std::string& modulationJson) const;
  // Applies a checked object, after the preset's bars are set; empty: nothing.
  void ApplyPreset(const std::string& modulationJson);
  // A figure being saved keeps the bars' resting positions and the matrix.
  void KeepInFigure(control::Preset& figure) const;

 signals:
  void MatrixChanged();  // a preset changed the rows or Bypass changed
  void InputChanged();

 private:
  class Door;
  modulation::MusicSources Sources() const;
  void OpenInput();
  void CloseInput();
  void CloseFinished();

  FrmWhorlgen& window_;
  std::unique_ptr<Door> door_;
  modulation::Modulator modulator_;
  QString device_;
  std::unique_ptr<analysis::MusicInput> input_;
  // Inputs asked to close, kept until their thread has closed the device,
  // so the panel never waits for JACK or ALSA.
  std::vector<std::unique_ptr<analysis::MusicInput>> closing_;
  QTimer closeTimer_;
};

}  // namespace whorlgen::ui
