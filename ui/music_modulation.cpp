#include "ui/music_modulation.h"

#include <QSignalBlocker>
#include <nlohmann/json.hpp>

#include "ui/frm_whorlgen.h"
#include "ui/settings_file.h"

namespace whorlgen::ui {

namespace {

constexpr int kCloseCheckMs = 100;
const QString kDefaultDevice = QStringLiteral("auto");

}  // namespace

// The panel as the matrix sees it: each move goes through the bar's own
// Change handler, and none of them counts as the operator's touch (MIDI
// learn does not take a modulated bar for the one the operator moved).
class MusicModulation::Door final : public modulation::PanelDoor {
 public:
  explicit Door(FrmWhorlgen& window) : window_(window) {}
  int Position(std::string_view controlName) const override {
    return window_.BarPosition(std::string(controlName));
  }
  void Move(std::string_view controlName, int position) override {
    const QSignalBlocker notTheOperator(&window_);
    window_.SetBarPosition(std::string(controlName), position);
  }
  void NextMode() override {
    window_.SetOpMode(window_.SelectedOpMode() % control::kModeCount + 1);
  }

 private:
  FrmWhorlgen& window_;
};

MusicModulation::MusicModulation(FrmWhorlgen& window)
    : QObject(&window), window_(window), door_(std::make_unique<Door>(window)) {
  setObjectName("musicModulation");
  const auto settings = OpenSettings();
  device_ = settings->value("audioin/device", kDefaultDevice).toString();
  if (settings->value("audioin/enabled", false).toBool())
    OpenInput();
  closeTimer_.setInterval(kCloseCheckMs);
  connect(&closeTimer_, &QTimer::timeout, this, &MusicModulation::CloseFinished);
  // The panel at rest shows the figure the operator set.
  connect(&window_, &FrmWhorlgen::RunFinished, this, [this] { modulator_.PutBack(*door_); });
}

MusicModulation::~MusicModulation() = default;

void MusicModulation::SetInput(bool on, const QString& device) {
  const QString chosen = device.trimmed().isEmpty() ? kDefaultDevice : device.trimmed();
  const auto settings = OpenSettings();
  settings->setValue("audioin/enabled", on);
  settings->setValue("audioin/device", chosen);
  if (on == InputOn() && chosen == device_)
    return;
  device_ = chosen;
  CloseInput();
  if (on)
    OpenInput();
  emit InputChanged();
}

void MusicModulation::OpenInput() {
  input_ = std::make_unique<analysis::MusicInput>(analysis::MakeAudioSource(device_.toStdString()));
}

void MusicModulation::CloseInput() {
  if (!input_)
    return;
  input_->RequestStop();
  closing_.push_back(std::move(input_));
  closeTimer_.start();
}

void MusicModulation::CloseFinished() {
  std::erase_if(closing_, [](const auto& input) { return input->Closed(); });
  if (closing_.empty())
    closeTimer_.stop();
}

QString MusicModulation::InputStatusText() const {
  if (!input_)
    return QStringLiteral("Off.");
  const analysis::MusicInput::Status status = input_->CurrentStatus();
  switch (status.What) {
    case analysis::MusicInput::State::Opening:
      return QStringLiteral("Opening %1\u2026").arg(device_);
    case analysis::MusicInput::State::Listening: {
      QString text = QStringLiteral("Listening: %1.").arg(QString::fromStdString(status.Text));
      if (status.Dropped > 0)
        text += QStringLiteral(" %1 samples came faster than the analysis took them.")
                    .arg(status.Dropped);
      return text;
    }
    case analysis::MusicInput::State::Silent:
      return QStringLiteral("Silent (every level 0): %1.").arg(QString::fromStdString(status.Text));
  }
  return {};
}

analysis::MusicValues MusicModulation::Music() const {
  return input_ ? input_->Latest() : analysis::MusicValues{};
}

modulation::MusicSources MusicModulation::Sources() const {
  const analysis::MusicValues music = Music();
  modulation::MusicSources sources;
  sources.Low = music.Low;
  sources.Mid = music.Mid;
  sources.High = music.High;
  for (std::size_t i = 0; i < sources.Bands.size(); ++i)
    sources.Bands[i] = music.Bands[i];
  sources.Onsets = music.Onsets;
  sources.Beats = music.Beats;
  sources.Bpm = music.Bpm;
  return sources;
}

void MusicModulation::SetMatrix(const modulation::Matrix& matrix) {
  modulator_.SetMatrix(matrix, *door_);
}

void MusicModulation::SetBypass(bool on) {
  if (on == modulator_.Bypassed())
    return;
  modulator_.SetBypass(on, *door_);
  emit MatrixChanged();
}

void MusicModulation::BeforeFrame(double showSeconds) {
  modulator_.BeforeFrame(showSeconds, Sources(), *door_);
}

std::string MusicModulation::CheckPreset(const std::string& modulationJson) const {
  const nlohmann::json value =
      nlohmann::json::parse(modulationJson, nullptr, /*allow_exceptions=*/false);
  return modulation::ReadMatrix(value, CurrentMatrix()).problem;
}

void MusicModulation::ApplyPreset(const std::string& modulationJson) {
  if (modulationJson.empty())
    return;
  const nlohmann::json value =
      nlohmann::json::parse(modulationJson, nullptr, /*allow_exceptions=*/false);
  const modulation::MatrixReading reading = modulation::ReadMatrix(value, CurrentMatrix());
  if (!reading.matrix)
    return;
  SetMatrix(*reading.matrix);
  emit MatrixChanged();
}

void MusicModulation::KeepInFigure(control::Preset& figure) const {
  for (auto& [name, position] : figure.Controls)
    position = modulator_.RestingPosition(name, position);
  if (!CurrentMatrix().Rows.empty())
    figure.Modulation = modulation::WriteMatrix(CurrentMatrix()).dump();
}

}  // namespace whorlgen::ui
