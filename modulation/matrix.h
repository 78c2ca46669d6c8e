#pragma once
// The modulation matrix: LFO settings and rows of source -> target. Its JSON
// shape, as presets carry it:
//   {"lfos": [{"shape": "sine", "hz": 0.5}, {"shape": "square", "beats": 2}],
//    "rows": [{"source": "lfo1", "target": "x_gain", "depth": 10},
//             {"source": "beat", "action": "next_mode"},
//             {"source": "band_low", "target": "y_gain", "depth": 20,
//              "attack_ms": 10, "release_ms": 200, "polarity": "negative"}]}
// Sources: lfo1..lfo4, band_low, band_mid, band_high, band1..band8, onset,
// beat. Targets: the bars' OSC-style names. Depth is in the target's shown
// unit per unit of the source (LFOs -1..1, levels, onsets and beats 0..1).

#include <array>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "modulation/lfo.h"

namespace whorlgen::modulation {

inline constexpr int kLfoCount = 4;
inline constexpr int kMusicBandCount = 8;
inline constexpr std::size_t kMaxRows = 64;
inline constexpr double kMaxSmoothing_ms = 60000.0;

// Every source by name, in the order the Modulation page shows them.
std::vector<std::string> SourceNames();
bool IsSourceName(std::string_view name);

enum class Action { None, NextMode };

struct Row {
  std::string Source;  // "lfo1", "band_low", "beat", ...
  std::string Target;  // a bar's OSC-style name; empty for an action
  Action Act = Action::None;
  double Depth = 0.0;
  double Attack_ms = 0.0;
  double Release_ms = 0.0;
  bool Negative = false;  // the polarity: a negative row pulls the bar down

  friend bool operator==(const Row&, const Row&) = default;
};

struct Matrix {
  std::array<LfoSettings, kLfoCount> Lfos{};
  std::vector<Row> Rows;

  friend bool operator==(const Matrix&, const Matrix&) = default;
};

struct MatrixReading {
  std::optional<Matrix> matrix;
  std::string problem;  // set when matrix is empty
};

// Reads the "modulation" object of a preset. A key left out ("lfos" or
// "rows") keeps what `current` holds; the LFOs beyond those listed take the
// default settings (a sine at 1 Hz). Anything that is not the shape above is
// refused whole, with the reason.
MatrixReading ReadMatrix(const nlohmann::json& value, const Matrix& current);
nlohmann::json WriteMatrix(const Matrix& matrix);

}  // namespace whorlgen::modulation
