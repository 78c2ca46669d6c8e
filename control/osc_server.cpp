#include "control/osc_server.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace whorlgen::control {

namespace {

constexpr std::string_view kPrefix = "/whorlgen/";

// liblo reports undecodable packets through a callback without a context;
// one count serves the program's single server.
std::atomic<std::uint64_t> g_malformedPackets{0};
thread_local std::string t_lastError;

void OnLibloError(int number, const char* message, const char* where) {
  g_malformedPackets.fetch_add(1, std::memory_order_relaxed);
  t_lastError = std::string(message != nullptr ? message : "error") + " (" +
                std::to_string(number) + (where != nullptr ? std::string(", ") + where : "") + ")";
}

// The only argument as a number; false for any other type or count, and for NaN.
bool OneNumber(std::string_view types, lo_arg** argv, double& value) {
  if (types.size() != 1)
    return false;
  const lo_arg* arg = argv[0];
  switch (types[0]) {
    case LO_INT32:
      value = arg->i;
      break;
    case LO_FLOAT:
      value = arg->f;
      break;
    case LO_DOUBLE:
      value = arg->d;
      break;
    case LO_INT64:
      value = static_cast<double>(arg->h);
      break;
    case LO_TRUE:
      value = 1.0;
      break;
    case LO_FALSE:
      value = 0.0;
      break;
    default:
      return false;
  }
  return !std::isnan(value);
}

// Clamped before rounding, so no value can overflow the conversion; ties to even.
int ClampedPosition(double value, int lowest, int highest) {
  return static_cast<int>(
      std::nearbyint(std::clamp(value, static_cast<double>(lowest), static_cast<double>(highest))));
}

OscVerdict Rejected() {
  return {std::nullopt, true};
}

// Start and Stop: no argument, or a button's press (non-zero); its release (0) does nothing.
OscVerdict Button(CommandKind kind, std::string_view types, lo_arg** argv) {
  if (types.empty())
    return {Command{kind, {}, 0}, false};
  double value = 0.0;
  if (!OneNumber(types, argv, value))
    return Rejected();
  if (value == 0.0)
    return {};
  return {Command{kind, {}, 0}, false};
}

}  // namespace

OscVerdict InterpretOsc(std::span<const BarRange> bars, std::string_view path,
                        std::string_view types, lo_arg** argv) {
  if (!path.starts_with(kPrefix))
    return Rejected();
  const std::string_view name = path.substr(kPrefix.size());
  if (name == "start")
    return Button(CommandKind::Start, types, argv);
  if (name == "stop")
    return Button(CommandKind::Stop, types, argv);
  if (name == "preset") {
    if (types.size() != 1 || (types[0] != LO_STRING && types[0] != LO_SYMBOL))
      return Rejected();
    const std::string file = &argv[0]->s;
    if (file.empty())
      return Rejected();
    return {Command{CommandKind::OpenPreset, file, 0}, false};
  }

  double value = 0.0;
  const bool isNumber = OneNumber(types, argv, value);
  if (const BarRange* bar = FindBar(bars, name)) {
    if (!isNumber)
      return Rejected();
    return {
        Command{CommandKind::SetBar, bar->Name, ClampedPosition(value, bar->Lowest, bar->Highest)},
        false};
  }
  struct Simple {
    std::string_view Name;
    CommandKind Kind;
    int Lowest;
    int Highest;
  };
  static constexpr Simple kSimple[] = {
      {"mode", CommandKind::SetMode, 1, kModeCount},
      {"limitvelocity", CommandKind::SetLimitVelocity, 0, 1},
      {"showdots", CommandKind::SetShowDots, 0, 1},
      {"ilda", CommandKind::SetIldaOutput, 0, 1},
      {"modulation/bypass", CommandKind::SetModulationBypass, 0, 1},
  };
  for (const Simple& s : kSimple) {
    if (name != s.Name)
      continue;
    if (!isNumber)
      return Rejected();
    return {Command{s.Kind, {}, ClampedPosition(value, s.Lowest, s.Highest)}, false};
  }
  return Rejected();
}

OscServer::OscServer(std::vector<BarRange> bars, std::function<void()> wake)
    : bars_(std::move(bars)), wake_(std::move(wake)) {}

OscServer::~OscServer() {
  Close();
}

std::string OscServer::Listen(int port) {
  Close();
  if (port < 1 || port > std::numeric_limits<std::uint16_t>::max())
    return "port " + std::to_string(port) + " is not a UDP port (1..65535)";
  t_lastError.clear();
  lo_server_thread thread =
      lo_server_thread_new_with_proto(std::to_string(port).c_str(), LO_UDP, OnLibloError);
  if (thread == nullptr) {
    return "cannot listen on UDP port " + std::to_string(port) +
           (t_lastError.empty() ? std::string() : ": " + t_lastError);
  }
  // Every address comes to one handler, which judges and counts it.
  lo_server_thread_add_method(thread, nullptr, nullptr, &OscServer::OnMessage, this);
  malformedBefore_ = g_malformedPackets.load();
  if (lo_server_thread_start(thread) != 0) {
    lo_server_thread_free(thread);
    return "cannot start the OSC receiver on port " + std::to_string(port);
  }
  thread_ = thread;
  port_ = port;
  return {};
}

void OscServer::Close() {
  if (thread_ == nullptr)
    return;
  // Stops and joins liblo's thread before the mailbox and counts can go.
  lo_server_thread_free(thread_);
  thread_ = nullptr;
  malformedEarlier_ += g_malformedPackets.load() - malformedBefore_;
}

std::uint64_t OscServer::Ignored() const {
  std::uint64_t malformed = malformedEarlier_;
  if (thread_ != nullptr)
    malformed += g_malformedPackets.load() - malformedBefore_;
  return rejected_.load() + malformed + mailbox_.Dropped();
}

int OscServer::OnMessage(const char* path, const char* types, lo_arg** argv, int argc,
                         lo_message /*message*/, void* self) {
  auto* server = static_cast<OscServer*>(self);
  const OscVerdict verdict = InterpretOsc(
      server->bars_, path, std::string_view(types, static_cast<std::size_t>(argc)), argv);
  if (verdict.rejected)
    server->rejected_.fetch_add(1, std::memory_order_relaxed);
  if (verdict.command && server->mailbox_.Post(*verdict.command) && server->wake_)
    server->wake_();
  return 0;  // handled: no other method sees it
}

}  // namespace whorlgen::control
