#include "modulation/modulator.h"

#include <algorithm>
#include <cmath>

namespace whorlgen::modulation {

namespace {

// An action fires on every onset or beat (two beats in one frame make one
// step), and when any other source rises through one half: a square LFO's
// rising edge, a level crossing the middle.
constexpr double kActionThreshold = 0.5;

// The share of the way to the source that a one-pole smoother covers in
// `seconds` with a time constant of `ms` (0: all of it at once).
double SmoothingStep(double seconds, double ms) {
  if (ms <= 0.0)
    return 1.0;
  return 1.0 - std::exp(-seconds * 1000.0 / ms);
}

}  // namespace

void Modulator::SetMatrix(const Matrix& matrix, PanelDoor& door) {
  PutBack(door);
  matrix_ = matrix;
  Resolve(door);
}

void Modulator::Resolve(PanelDoor& door) {
  rows_.clear();
  bars_.clear();
  for (const Row& row : matrix_.Rows) {
    RowState state;
    const std::string_view source = row.Source;
    if (source.starts_with("lfo")) {
      state.Kind = SourceKind::Lfo;
      state.Index = source.back() - '1';
    } else if (source == "band_low") {
      state.Kind = SourceKind::Low;
    } else if (source == "band_mid") {
      state.Kind = SourceKind::Mid;
    } else if (source == "band_high") {
      state.Kind = SourceKind::High;
    } else if (source.starts_with("band")) {
      state.Kind = SourceKind::Band;
      state.Index = source.back() - '1';
    } else {
      state.Kind = source == "onset" ? SourceKind::Onset : SourceKind::Beat;
    }
    if (const engine::PanelBar* info = engine::FindPanelBarByEdgeName(row.Target);
        info != nullptr && row.Act == Action::None) {
      const auto same = std::find_if(bars_.begin(), bars_.end(),
                                     [info](const BarState& b) { return b.Info == info; });
      state.Bar = static_cast<int>(same - bars_.begin());
      if (same == bars_.end()) {
        const int position = door.Position(info->Name);
        bars_.push_back({info, position, position, 0.0});
      }
    }
    rows_.push_back(state);
  }
}

void Modulator::StartRun(const MusicSources& music) {
  for (Lfo& lfo : lfos_)
    lfo.Reset();
  for (RowState& row : rows_) {
    row.Smoothed = 0.0;
    row.Last = 0.0;
  }
  seenOnsets_ = music.Onsets;
  seenBeats_ = music.Beats;
}

void Modulator::BeforeFrame(double showSeconds, const MusicSources& music, PanelDoor& door) {
  if (showSeconds <= 0.0 || showSeconds < lastSeconds_) {
    StartRun(music);
    lastSeconds_ = showSeconds;
  }
  const double seconds = showSeconds - lastSeconds_;
  lastSeconds_ = showSeconds;
  onsetNow_ = music.Onsets != seenOnsets_;
  beatNow_ = music.Beats != seenBeats_;
  seenOnsets_ = music.Onsets;
  seenBeats_ = music.Beats;
  const double bpm = music.Bpm > 0.0 ? music.Bpm : kDefaultBpm;
  for (int i = 0; i < kLfoCount; ++i)
    lfos_[static_cast<std::size_t>(i)].Advance(matrix_.Lfos[static_cast<std::size_t>(i)], seconds,
                                               bpm);
  if (Active())
    MoveBars(seconds, music, door);
}

void Modulator::MoveBars(double seconds, const MusicSources& music, PanelDoor& door) {
  for (BarState& bar : bars_) {
    // Moved by someone else since the last frame: it rests there now.
    const int position = door.Position(bar.Info->Name);
    if (position != bar.Written)
      bar.Rest = bar.Written = position;
    bar.Sum = 0.0;
  }
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    RowState& state = rows_[i];
    const Row& row = matrix_.Rows[i];
    const double raw = RawSource(state, music);
    if (state.Bar < 0) {
      const bool event = state.Kind == SourceKind::Onset || state.Kind == SourceKind::Beat;
      const bool fires = raw >= kActionThreshold && (event || state.Last < kActionThreshold);
      if (fires && row.Act == Action::NextMode)
        door.NextMode();
      state.Last = raw;
      continue;
    }
    const double ms = raw > state.Smoothed ? row.Attack_ms : row.Release_ms;
    state.Smoothed += (raw - state.Smoothed) * SmoothingStep(seconds, ms);
    bars_[static_cast<std::size_t>(state.Bar)].Sum +=
        (row.Negative ? -row.Depth : row.Depth) * state.Smoothed;
  }
  for (BarState& bar : bars_) {
    const int target =
        engine::PositionForShown(*bar.Info, engine::ShownValue(*bar.Info, bar.Rest) + bar.Sum);
    if (target != door.Position(bar.Info->Name))
      door.Move(bar.Info->Name, target);
    bar.Written = door.Position(bar.Info->Name);
  }
}

double Modulator::RawSource(const RowState& row, const MusicSources& music) const {
  switch (row.Kind) {
    case SourceKind::Lfo:
      return lfos_[static_cast<std::size_t>(row.Index)].Value();
    case SourceKind::Low:
      return music.Low;
    case SourceKind::Mid:
      return music.Mid;
    case SourceKind::High:
      return music.High;
    case SourceKind::Band:
      return music.Bands[static_cast<std::size_t>(row.Index)];
    case SourceKind::Onset:
      return onsetNow_ ? 1.0 : 0.0;
    case SourceKind::Beat:
      return beatNow_ ? 1.0 : 0.0;
  }
  return 0.0;
}

void Modulator::SetBypass(bool on, PanelDoor& door) {
  if (on)
    PutBack(door);
  bypass_ = on;
}

void Modulator::PutBack(PanelDoor& door) {
  for (BarState& bar : bars_) {
    const int position = door.Position(bar.Info->Name);
    // A bar moved by someone else stays where they put it.
    if (position == bar.Written && position != bar.Rest)
      door.Move(bar.Info->Name, bar.Rest);
    bar.Rest = bar.Written = door.Position(bar.Info->Name);
  }
}

int Modulator::RestingPosition(std::string_view controlName, int current) const {
  for (const BarState& bar : bars_) {
    if (controlName == bar.Info->Name)
      return current == bar.Written ? bar.Rest : current;
  }
  return current;
}

}  // namespace whorlgen::modulation
