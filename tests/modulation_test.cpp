// LFOs and the modulation matrix against a panel of plain positions: what
// each frame does to the bars, in the panel's numbers and counted in frames.
#include <gtest/gtest.h>

#include <cmath>
#include <map>
#include <nlohmann/json.hpp>
#include <numbers>
#include <string>
#include <vector>

#include "engine/panel_bars.h"
#include "modulation/matrix.h"
#include "modulation/modulator.h"

namespace whorlgen::modulation {
namespace {

using nlohmann::json;

// The fourteen bars at their start-up positions, and what was done to them.
class FakePanel final : public PanelDoor {
 public:
  std::map<std::string, int, std::less<>> positions = {
      {"scrXGain", 25},           {"scrYGain", 25}, {"scrXFreq", 125},   {"scrYFreq", 125},
      {"scrZFreq", 85},           {"scrXRot", 0},   {"scrYRot", 0},      {"scrRFreq", 50},
      {"scrGFreq", 55},           {"scrBFreq", 60}, {"scrRepPoints", 0}, {"scrPointsPerSec", 7500},
      {"scrPointsPerFrame", 500}, {"scrXPhase", 0}};
  int moves = 0;
  int mode = 2;

  int Position(std::string_view name) const override { return positions.find(name)->second; }
  void Move(std::string_view name, int position) override {
    positions.find(name)->second = position;
    ++moves;
  }
  void NextMode() override { mode = mode % 6 + 1; }
};

Matrix Parse(const char* text) {
  const MatrixReading reading = ReadMatrix(json::parse(text), Matrix{});
  EXPECT_TRUE(reading.matrix) << reading.problem;
  return reading.matrix.value_or(Matrix{});
}

// The start-up values' frames: 500 points at 15000 points a second.
constexpr double kFrame_s = 500.0 / 15000.0;

TEST(Lfo, ShapesAtTheQuartersOfACycle) {
  struct Case {
    LfoShape shape;
    double atQuarters[4];  // phases 0, 1/4, 1/2, 3/4
  };
  for (const Case& c : {Case{LfoShape::Triangle, {0.0, 1.0, 0.0, -1.0}},
                        Case{LfoShape::Saw, {-1.0, -0.5, 0.0, 0.5}},
                        Case{LfoShape::Square, {1.0, 1.0, -1.0, -1.0}}}) {
    for (int q = 0; q < 4; ++q)
      EXPECT_DOUBLE_EQ(ShapeValue(c.shape, q / 4.0), c.atQuarters[q])
          << ShapeName(c.shape) << " at " << q << "/4";
  }
}

TEST(Lfo, SampleAndHoldHoldsForACycleAndRepeatsAfterAReset) {
  const LfoSettings settings{LfoShape::SampleAndHold, 1.0, false, 1.0};
  Lfo lfo;
  std::vector<double> run;
  for (int frame = 0; frame < 8; ++frame)
    run.push_back(lfo.Advance(settings, frame == 0 ? 0.0 : 0.25, 120.0));
  EXPECT_EQ(run[0], run[3]);  // one value for the first second
  EXPECT_NE(run[3], run[4]);  // a new one at the next cycle
  for (double v : run) {
    EXPECT_GE(v, -1.0);
    EXPECT_LT(v, 1.0);
  }
  lfo.Reset();
  EXPECT_EQ(lfo.Advance(settings, 0.0, 120.0), run[0]);
}

TEST(Lfo, SyncedToTheTempoOneCycleTakesItsBeats) {
  const LfoSettings twoBeats{LfoShape::Saw, 1.0, true, 2.0};
  Lfo lfo;
  // At 90 BPM two beats last 4/3 s: a third of it is a third of the saw.
  EXPECT_NEAR(lfo.Advance(twoBeats, 4.0 / 9.0, 90.0), 2.0 / 3.0 - 1.0, 1e-12);
}

TEST(Modulator, LfoAtHalfAHertzDrivesABarThroughOneCycleIn60FramesAt30PerSecond) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(Parse(R"({"lfos": [{"shape": "sine", "hz": 0.5}],
                                "rows": [{"source": "lfo1", "target": "x_gain", "depth": 20}]})"),
                      panel);
  for (int frame = 0; frame <= 60; ++frame) {
    modulator.BeforeFrame(frame * kFrame_s, MusicSources{}, panel);
    // 25 + 20 sin(2 pi 0.5 t), t = frame / 30 s, rounded to a whole position.
    const double expected = 25.0 + 20.0 * std::sin(2.0 * std::numbers::pi * 0.5 * frame / 30.0);
    ASSERT_EQ(panel.Position("scrXGain"), static_cast<int>(std::nearbyint(expected)))
        << "frame " << frame;
  }
  EXPECT_EQ(panel.Position("scrXGain"), 25);  // the cycle is whole at frame 60
}

TEST(Modulator, ANewRunStartsTheLfosAgain) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(Parse(R"({"lfos": [{"shape": "saw", "hz": 0.5}],
                "rows": [{"source": "lfo1", "target": "x_rotation", "depth": 90}]})"),
                      panel);
  std::vector<int> first;
  std::vector<int> second;
  for (std::vector<int>* run : {&first, &second}) {
    for (int frame = 0; frame < 20; ++frame) {
      modulator.BeforeFrame(frame * kFrame_s, MusicSources{}, panel);
      run->push_back(panel.Position("scrXRot"));
    }
  }
  EXPECT_EQ(first, second);
  EXPECT_EQ(first.front(), -90);  // the saw starts at -1
}

TEST(Modulator, RowOfDepthZeroMovesNothing) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(Parse(R"({"rows": [{"source": "lfo1", "target": "x_freq", "depth": 0},
                                         {"source": "band_low", "target": "y_gain", "depth": 0}]})"),
                      panel);
  const auto before = panel.positions;
  MusicSources loud;
  loud.Low = 1.0;
  for (int frame = 0; frame < 30; ++frame)
    modulator.BeforeFrame(frame * kFrame_s, loud, panel);
  EXPECT_EQ(panel.moves, 0);
  EXPECT_EQ(panel.positions, before);
}

TEST(Modulator, ValuesAreInThePanelsNumbersAndClampedToTheBar) {
  FakePanel panel;
  Modulator modulator;
  // A level of 1 adds 30 Hz to X Freq (25 Hz) and pushes X Gain (25) past 100.
  modulator.SetMatrix(Parse(R"({"rows": [{"source": "band_low", "target": "x_freq", "depth": 30},
                                         {"source": "band_low", "target": "x_gain", "depth": 500},
                                         {"source": "band_mid", "target": "x_gain", "depth": 10,
                                          "polarity": "negative"}]})"),
                      panel);
  MusicSources music;
  music.Low = 1.0;
  modulator.BeforeFrame(0.0, music, panel);
  EXPECT_EQ(panel.Position("scrXFreq"), 275);  // 55 Hz
  EXPECT_EQ(panel.Position("scrXGain"), 100);
  music.Low = 0.0;
  music.Mid = 0.5;
  modulator.BeforeFrame(kFrame_s, music, panel);
  EXPECT_EQ(panel.Position("scrXGain"), 20);  // 25 - 10 x 0.5
}

TEST(Modulator, BypassPutsTheBarsBackAndHoldsThemUntilItIsOff) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(
      Parse(R"({"rows": [{"source": "band_high", "target": "b_freq", "depth": 100}]})"), panel);
  MusicSources music;
  music.High = 1.0;
  modulator.BeforeFrame(0.0, music, panel);
  ASSERT_EQ(panel.Position("scrBFreq"), 160);
  modulator.SetBypass(true, panel);
  EXPECT_EQ(panel.Position("scrBFreq"), 60);
  modulator.BeforeFrame(kFrame_s, music, panel);
  EXPECT_EQ(panel.Position("scrBFreq"), 60);
  modulator.SetBypass(false, panel);
  modulator.BeforeFrame(2 * kFrame_s, music, panel);
  EXPECT_EQ(panel.Position("scrBFreq"), 160);
}

TEST(Modulator, ABarMovedByHandRestsWhereItWasPut) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(
      Parse(R"({"rows": [{"source": "band_low", "target": "y_gain", "depth": 10}]})"), panel);
  MusicSources music;
  music.Low = 1.0;
  modulator.BeforeFrame(0.0, music, panel);
  ASSERT_EQ(panel.Position("scrYGain"), 35);
  panel.positions["scrYGain"] = 60;  // the operator
  EXPECT_EQ(modulator.RestingPosition("scrYGain", 60), 60);
  modulator.BeforeFrame(kFrame_s, music, panel);
  EXPECT_EQ(panel.Position("scrYGain"), 70);
  EXPECT_EQ(modulator.RestingPosition("scrYGain", 70), 60);
  modulator.PutBack(panel);
  EXPECT_EQ(panel.Position("scrYGain"), 60);
}

TEST(Modulator, AttackAndReleaseSmoothInShowTime) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(Parse(R"({"rows": [{"source": "beat", "target": "r_freq", "depth": 1000,
                                          "attack_ms": 0, "release_ms": 100}]})"),
                      panel);
  MusicSources music;
  modulator.BeforeFrame(0.0, music, panel);
  music.Beats = 1;
  modulator.BeforeFrame(kFrame_s, music, panel);
  EXPECT_EQ(panel.Position("scrRFreq"), 1000);  // 50 + 1000, clamped; no attack time
  // One frame later the pulse has gone and the release decays it: 1000 e^(-t/100 ms).
  modulator.BeforeFrame(2 * kFrame_s, music, panel);
  EXPECT_EQ(panel.Position("scrRFreq"),
            static_cast<int>(std::nearbyint(50.0 + 1000.0 * std::exp(-kFrame_s / 0.1))));
}

TEST(Modulator, NextModeOnEveryBeat) {
  FakePanel panel;
  Modulator modulator;
  modulator.SetMatrix(Parse(R"({"rows": [{"source": "beat", "action": "next_mode"}]})"), panel);
  MusicSources music;
  music.Beats = 7;  // heard before the run: no action
  const int beatsPerFrame[] = {0, 1, 0, 1, 1, 0, 2};
  for (int frame = 0; frame < 7; ++frame) {
    music.Beats += static_cast<std::uint64_t>(beatsPerFrame[frame]);
    modulator.BeforeFrame(frame * kFrame_s, music, panel);
  }
  // Beats on frames 1, 3, 4 and 6 (two there are one step): 2 -> 3 -> 4 -> 5 -> 6.
  EXPECT_EQ(panel.mode, 6);
}

TEST(MatrixJson, ReadsThePresetShapeAndWritesItBack) {
  const Matrix matrix = Parse(R"({"lfos": [{"shape": "sine", "hz": 0.5},
                                           {"shape": "square", "beats": 2}],
                                 "rows": [{"source": "lfo1", "target": "x_gain", "depth": 10},
                                          {"source": "beat", "action": "next_mode"},
                                          {"source": "band_low", "target": "y_gain", "depth": 20,
                                           "attack_ms": 10, "release_ms": 200}]})");
  EXPECT_EQ(matrix.Lfos[0], (LfoSettings{LfoShape::Sine, 0.5, false, 1.0}));
  EXPECT_EQ(matrix.Lfos[1], (LfoSettings{LfoShape::Square, 1.0, true, 2.0}));
  EXPECT_EQ(matrix.Lfos[2], LfoSettings{});
  ASSERT_EQ(matrix.Rows.size(), 3U);
  EXPECT_EQ(matrix.Rows[1].Act, Action::NextMode);
  EXPECT_EQ(matrix.Rows[2], (Row{"band_low", "y_gain", Action::None, 20.0, 10.0, 200.0, false}));
  const MatrixReading again = ReadMatrix(WriteMatrix(matrix), Matrix{});
  ASSERT_TRUE(again.matrix) << again.problem;
  EXPECT_EQ(*again.matrix, matrix);
}

TEST(MatrixJson, AKeyLeftOutKeepsTheCurrentAndEmptyRowsClear) {
  const Matrix current =
      Parse(R"({"rows": [{"source": "onset", "target": "z_freq", "depth": 5}]})");
  EXPECT_EQ(ReadMatrix(json::parse(R"({"lfos": []})"), current).matrix->Rows, current.Rows);
  EXPECT_TRUE(ReadMatrix(json::parse(R"({"rows": []})"), current).matrix->Rows.empty());
}

TEST(MatrixJson, RefusesWhatIsNotTheShapeWithTheReason) {
  const std::pair<const char*, const char*> cases[] = {
      {R"({"rows": [{"source": "lfo5", "target": "x_gain", "depth": 1}]})", "\"source\""},
      {R"({"rows": [{"source": "lfo1", "target": "scrXGain", "depth": 1}]})", "\"target\""},
      {R"({"rows": [{"source": "lfo1", "target": "x_gain"}]})", "\"depth\""},
      {R"({"rows": [{"source": "beat", "action": "start"}]})", "next_mode"},
      {R"({"rows": [{"source": "beat", "action": "next_mode", "target": "x_gain"}]})", "either"},
      {R"({"rows": [{"source": "lfo1", "target": "x_gain", "depth": 1, "atack_ms": 5}]})",
       "atack_ms"},
      {R"({"rows": [{"source": "lfo1", "target": "x_gain", "depth": 1, "release_ms": -1}]})",
       "release_ms"},
      {R"({"lfos": [{"shape": "sine", "hz": 1, "beats": 1}]})", "both"},
      {R"({"lfos": [{"shape": "wobble"}]})", "\"shape\""},
      {R"({"lfos": [{}, {}, {}, {}, {}]})", "at most 4"},
      {R"([1, 2])", "not an object"},
  };
  for (const auto& [text, reason] : cases) {
    const MatrixReading reading = ReadMatrix(json::parse(text), Matrix{});
    EXPECT_FALSE(reading.matrix) << text;
    EXPECT_NE(reading.problem.find(reason), std::string::npos) << text << ": " << reading.problem;
  }
}

}  // namespace
}  // namespace whorlgen::modulation
