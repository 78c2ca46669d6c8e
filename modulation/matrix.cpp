#include "modulation/matrix.h"

#include <algorithm>
#include <cmath>
#include <nlohmann/json.hpp>
#include <tuple>

#include "engine/panel_bars.h"

namespace whorlgen::modulation {

namespace {

using nlohmann::json;

constexpr double kMaxLfoHz = 100.0;
constexpr double kMaxLfoBeats = 64.0;
constexpr std::string_view kNextMode = "next_mode";

std::string Quoted(std::string_view s) {
  return "\"" + std::string(s) + "\"";
}

// A finite number within [lowest, highest], or a problem naming the key.
std::string ReadNumber(const json& object, const char* key, double lowest, double highest,
                       double& into, std::string_view where) {
  if (!object.contains(key))
    return {};
  const json& value = object[key];
  if (!value.is_number() || !std::isfinite(value.get<double>()))
    return std::string(where) + ": " + Quoted(key) + " is not a number";
  const double number = value.get<double>();
  if (number < lowest || number > highest)
    return std::string(where) + ": " + Quoted(key) + " is outside " + std::to_string(lowest) +
           ".." + std::to_string(highest);
  into = number;
  return {};
}

std::string UnknownKey(const json& object, std::initializer_list<std::string_view> known,
                       std::string_view where) {
  for (const auto& [key, value] : object.items()) {
    if (std::find(known.begin(), known.end(), key) == known.end())
      return std::string(where) + ": unknown key " + Quoted(key);
  }
  return {};
}

std::string ReadLfo(const json& value, LfoSettings& lfo, std::string_view where) {
  if (!value.is_object())
    return std::string(where) + " is not an object";
  if (std::string problem = UnknownKey(value, {"shape", "hz", "beats"}, where); !problem.empty())
    return problem;
  if (value.contains("shape")) {
    const auto shape = value["shape"].is_string() ? ShapeFromName(value["shape"].get<std::string>())
                                                  : std::nullopt;
    if (!shape)
      return std::string(where) + ": \"shape\" is not sine, triangle, saw, square or sample_hold";
    lfo.Shape = *shape;
  }
  if (value.contains("hz") && value.contains("beats"))
    return std::string(where) + ": both \"hz\" and \"beats\"; an LFO runs free or with the beat";
  if (std::string problem = ReadNumber(value, "hz", 0.0, kMaxLfoHz, lfo.Hz, where);
      !problem.empty())
    return problem;
  lfo.Synced = value.contains("beats");
  if (std::string problem = ReadNumber(value, "beats", 0.0, kMaxLfoBeats, lfo.Beats, where);
      !problem.empty())
    return problem;
  if (lfo.Synced && lfo.Beats <= 0.0)
    return std::string(where) + ": \"beats\" must be more than 0";
  return {};
}

std::string ReadRow(const json& value, Row& row, std::string_view where) {
  if (!value.is_object())
    return std::string(where) + " is not an object";
  if (std::string problem = UnknownKey(
          value, {"source", "target", "action", "depth", "attack_ms", "release_ms", "polarity"},
          where);
      !problem.empty())
    return problem;
  if (!value.contains("source") || !value["source"].is_string() ||
      !IsSourceName(value["source"].get<std::string>()))
    return std::string(where) + ": \"source\" is not a source (lfo1..lfo4, band_low, band_mid, " +
           "band_high, band1..band8, onset, beat)";
  row.Source = value["source"].get<std::string>();
  const bool hasTarget = value.contains("target");
  const bool hasAction = value.contains("action");
  if (hasTarget == hasAction)
    return std::string(where) + ": a row has either a \"target\" or an \"action\"";
  if (hasAction) {
    if (value["action"] != kNextMode)
      return std::string(where) + ": the only action is \"next_mode\"";
    row.Act = Action::NextMode;
    return {};
  }
  if (!value["target"].is_string() ||
      engine::FindPanelBarByEdgeName(value["target"].get<std::string>()) == nullptr)
    return std::string(where) + ": \"target\" is not a bar's name (x_gain, ...)";
  row.Target = value["target"].get<std::string>();
  if (!value.contains("depth"))
    return std::string(where) + ": a row with a target needs a \"depth\"";
  for (auto [key, lowest, highest, into] :
       {std::tuple{"depth", -1e6, 1e6, &row.Depth},
        std::tuple{"attack_ms", 0.0, kMaxSmoothing_ms, &row.Attack_ms},
        std::tuple{"release_ms", 0.0, kMaxSmoothing_ms, &row.Release_ms}}) {
    if (std::string problem = ReadNumber(value, key, lowest, highest, *into, where);
        !problem.empty())
      return problem;
  }
  if (value.contains("polarity")) {
    if (value["polarity"] != "positive" && value["polarity"] != "negative")
      return std::string(where) + ": \"polarity\" is not \"positive\" or \"negative\"";
    row.Negative = value["polarity"] == "negative";
  }
  return {};
}

}  // namespace

std::vector<std::string> SourceNames() {
  std::vector<std::string> names;
  for (int i = 1; i <= kLfoCount; ++i)
    names.push_back("lfo" + std::to_string(i));
  for (const char* name : {"band_low", "band_mid", "band_high"})
    names.emplace_back(name);
  for (int i = 1; i <= kMusicBandCount; ++i)
    names.push_back("band" + std::to_string(i));
  names.emplace_back("onset");
  names.emplace_back("beat");
  return names;
}

bool IsSourceName(std::string_view name) {
  for (const std::string& source : SourceNames())
    if (source == name)
      return true;
  return false;
}

MatrixReading ReadMatrix(const json& value, const Matrix& current) {
  if (!value.is_object())
    return {std::nullopt, "\"modulation\" is not an object"};
  if (std::string problem = UnknownKey(value, {"lfos", "rows"}, "\"modulation\""); !problem.empty())
    return {std::nullopt, problem};
  Matrix matrix = current;
  if (value.contains("lfos")) {
    const json& lfos = value["lfos"];
    if (!lfos.is_array() || lfos.size() > kLfoCount)
      return {std::nullopt, "\"lfos\" is not a list of at most 4 LFOs"};
    matrix.Lfos = {};
    for (std::size_t i = 0; i < lfos.size(); ++i) {
      const std::string where = "lfo" + std::to_string(i + 1);
      if (std::string problem = ReadLfo(lfos[i], matrix.Lfos[i], where); !problem.empty())
        return {std::nullopt, problem};
    }
  }
  if (value.contains("rows")) {
    const json& rows = value["rows"];
    if (!rows.is_array() || rows.size() > kMaxRows)
      return {std::nullopt, "\"rows\" is not a list of at most 64 rows"};
    matrix.Rows.clear();
    for (std::size_t i = 0; i < rows.size(); ++i) {
      Row row;
      if (std::string problem = ReadRow(rows[i], row, "row " + std::to_string(i + 1));
          !problem.empty())
        return {std::nullopt, problem};
      matrix.Rows.push_back(std::move(row));
    }
  }
  return {std::move(matrix), {}};
}

json WriteMatrix(const Matrix& matrix) {
  json lfos = json::array();
  for (const LfoSettings& lfo : matrix.Lfos) {
    json entry = {{"shape", ShapeName(lfo.Shape)}};
    if (lfo.Synced)
      entry["beats"] = lfo.Beats;
    else
      entry["hz"] = lfo.Hz;
    lfos.push_back(std::move(entry));
  }
  json rows = json::array();
  for (const Row& row : matrix.Rows) {
    json entry = {{"source", row.Source}};
    if (row.Act == Action::NextMode) {
      entry["action"] = kNextMode;
    } else {
      entry["target"] = row.Target;
      entry["depth"] = row.Depth;
      if (row.Attack_ms > 0.0)
        entry["attack_ms"] = row.Attack_ms;
      if (row.Release_ms > 0.0)
        entry["release_ms"] = row.Release_ms;
      if (row.Negative)
        entry["polarity"] = "negative";
    }
    rows.push_back(std::move(entry));
  }
  return {{"lfos", std::move(lfos)}, {"rows", std::move(rows)}};
}

}  // namespace whorlgen::modulation
