#include "control/osc_server.h"

#include <arpa/inet.h>

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>
#include <limits>

#include "control/panel_values.h"
#include "control/printable.h"

namespace whorlgen::control {

namespace {

// liblo reports undecodable packets through a callback without a context;
// one count serves the program's single server.
std::atomic<std::uint64_t> g_malformedPackets{0};
thread_local std::string t_lastError;

void OnLibloError(int number, const char* message, const char* where) {
  g_malformedPackets.fetch_add(1, std::memory_order_relaxed);
  t_lastError = std::string(message != nullptr ? message : "error") + " (" +
                std::to_string(number) + (where != nullptr ? std::string(", ") + where : "") + ")";
}

// The addresses that are not bars: a list and three check boxes.
struct SwitchAddress {
  std::string_view Name;
  std::string_view Alias;  // its older name, still accepted
  CommandKind Kind;
  int Lowest;
  int Highest;
  std::string_view Control;
};

constexpr SwitchAddress kSwitches[] = {
    {"mode", "", CommandKind::SetMode, 1, kModeCount, "the mode list"},
    {"limit_velocity", "limitvelocity", CommandKind::SetLimitVelocity, 0, 1, "Limit Velocity"},
    {"show_dots", "showdots", CommandKind::SetShowDots, 0, 1, "Show Dots"},
    {"ilda_output", "ilda", CommandKind::SetIldaOutput, 0, 1, "ILDA Output (only while stopped)"},
    {"modulation_bypass", "", CommandKind::SetModulationBypass, 0, 1,
     "Bypass on the Modulation page"},
};

// A float as the decimal number its sender typed: 24.1f is 24.1000003814...,
// which would fall on the far side of a half step.
double SentDecimal(float value) {
  char text[32];
  const auto [end, error] = std::to_chars(text, text + sizeof text, value);
  double decimal = value;
  if (error == std::errc())
    std::from_chars(text, end, decimal);
  return decimal;
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
      value = SentDecimal(arg->f);
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
int ClampedWhole(double value, int lowest, int highest) {
  return static_cast<int>(
      std::nearbyint(std::clamp(value, static_cast<double>(lowest), static_cast<double>(highest))));
}

OscVerdict Refused(std::string_view path, std::string_view why) {
  return {std::nullopt, Printable(path, kShownNameChars) + " " + std::string(why)};
}

OscVerdict Accepted(Command command) {
  return {std::move(command), {}};
}

// Start and Stop: no argument, or a button's press (non-zero); its release (0) does nothing.
OscVerdict Button(std::string_view path, CommandKind kind, std::string_view types, lo_arg** argv) {
  if (types.empty())
    return Accepted({kind, {}, 0});
  double value = 0.0;
  if (!OneNumber(types, argv, value))
    return Refused(path, "takes no argument or one number");
  if (value == 0.0)
    return {};
  return Accepted({kind, {}, 0});
}

std::string Address(std::string_view name) {
  return "`" + std::string(kOscPrefix) + std::string(name) + "`";
}

std::string Range(const PanelBar& bar) {
  std::string range =
      EdgeNumber(ShownValue(bar, bar.Lowest)) + " to " + EdgeNumber(ShownValue(bar, bar.Highest));
  if (bar.Times != 1 || bar.Per != 1)
    range += " in steps of " + EdgeNumber(ShownValue(bar, 1));
  return range;
}

std::string Row(std::initializer_list<std::string> cells) {
  std::string row = "|";
  for (const std::string& cell : cells)
    row += " " + cell + " |";
  return row + "\n";
}

}  // namespace

// ---- Senders ----

std::optional<SenderFilter::Network> SenderFilter::ParseNetwork(std::string_view entry) {
  const std::size_t slash = entry.find('/');
  const std::string address(entry.substr(0, slash));
  Network network;
  if (inet_pton(AF_INET, address.c_str(), network.Bytes.data()) == 1) {
    network.PrefixBits = 32;
  } else if (inet_pton(AF_INET6, address.c_str(), network.Bytes.data()) == 1) {
    network.V6 = true;
    network.PrefixBits = 128;
  } else {
    return std::nullopt;
  }
  if (slash != std::string_view::npos) {
    const std::string_view bits = entry.substr(slash + 1);
    int prefix = -1;
    const auto [end, error] = std::from_chars(bits.data(), bits.data() + bits.size(), prefix);
    if (error != std::errc() || end != bits.data() + bits.size() || bits.empty() || prefix < 0 ||
        prefix > network.PrefixBits)
      return std::nullopt;
    network.PrefixBits = prefix;
  }
  return network;
}

SenderFilter SenderFilter::Parse(std::string_view list, std::vector<std::string>& problems) {
  SenderFilter filter;
  const auto isSeparator = [](char c) { return c == ',' || c == ' ' || c == '\t'; };
  for (std::size_t start = 0; start < list.size();) {
    while (start < list.size() && isSeparator(list[start]))
      ++start;
    std::size_t end = start;
    while (end < list.size() && !isSeparator(list[end]))
      ++end;
    if (end > start) {
      const std::string_view entry = list.substr(start, end - start);
      filter.restricted_ = true;
      if (const auto network = ParseNetwork(entry))
        filter.networks_.push_back(*network);
      else
        problems.push_back("\"" + Printable(entry, kShownNameChars) +
                           "\" is not an address or a network");
    }
    start = end;
  }
  return filter;
}

bool SenderFilter::Allows(std::string_view address) const {
  if (!restricted_)
    return true;
  const auto sender = ParseNetwork(address.substr(0, address.find('/')));
  if (!sender)
    return false;
  Network from = *sender;
  // An IPv4 sender on an IPv6 socket arrives as ::ffff:a.b.c.d.
  static constexpr std::uint8_t kMappedV4[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF};
  if (from.V6 && std::memcmp(from.Bytes.data(), kMappedV4, sizeof kMappedV4) == 0) {
    std::memmove(from.Bytes.data(), from.Bytes.data() + 12, 4);
    from.V6 = false;
  }
  return std::any_of(networks_.begin(), networks_.end(), [&](const Network& network) {
    if (network.V6 != from.V6)
      return false;
    const int wholeBytes = network.PrefixBits / 8;
    if (std::memcmp(network.Bytes.data(), from.Bytes.data(), wholeBytes) != 0)
      return false;
    const int restBits = network.PrefixBits % 8;
    if (restBits == 0)
      return true;
    const auto mask = static_cast<std::uint8_t>(0xFF << (8 - restBits));
    return (network.Bytes[wholeBytes] & mask) == (from.Bytes[wholeBytes] & mask);
  });
}

// ---- The address space ----

OscVerdict InterpretOsc(std::string_view path, std::string_view types, lo_arg** argv) {
  if (!path.starts_with(kOscPrefix))
    return Refused(path, "is not a Whorlgen address");
  const std::string_view name = path.substr(kOscPrefix.size());
  if (name == "start")
    return Button(path, CommandKind::Start, types, argv);
  if (name == "stop")
    return Button(path, CommandKind::Stop, types, argv);
  if (name == "preset") {
    if (types.size() != 1 || (types[0] != LO_STRING && types[0] != LO_SYMBOL) || argv[0]->s == '\0')
      return Refused(path, "takes the path of a preset file");
    return Accepted({CommandKind::OpenPreset, &argv[0]->s, 0});
  }

  double value = 0.0;
  const bool isNumber = OneNumber(types, argv, value);
  if (const PanelBar* bar = FindPanelBar(name)) {
    if (!isNumber)
      return Refused(path, "takes one number");
    return Accepted({CommandKind::SetBar, std::string(bar->Name), PositionForShown(*bar, value)});
  }
  for (const SwitchAddress& s : kSwitches) {
    if (name != s.Name && (s.Alias.empty() || name != s.Alias))
      continue;
    if (!isNumber)
      return Refused(path, "takes one number");
    return Accepted({s.Kind, {}, ClampedWhole(value, s.Lowest, s.Highest)});
  }
  return Refused(path, "is not a Whorlgen address");
}

std::string OscAddressTable() {
  std::string table = Row({"Address", "Also", "Arguments", "Range", "Unit", "Control"});
  table += "|---|---|---|---|---|---|\n";
  for (const PanelBar& bar : PanelBars())
    table += Row({Address(bar.EdgeName), Address(bar.Name), "int or float", Range(bar),
                  std::string(bar.Unit), std::string(bar.Caption)});
  for (const SwitchAddress& s : kSwitches) {
    const std::string range = std::to_string(s.Lowest) +
                              (s.Highest - s.Lowest == 1 ? " or " : " to ") +
                              std::to_string(s.Highest);
    table += Row({Address(s.Name), s.Alias.empty() ? std::string() : Address(s.Alias),
                  s.Highest == 1 ? "int, float or true/false" : "int or float", range, "",
                  std::string(s.Control)});
  }
  table += Row({Address("start"), "", "none, or one number", "0 does nothing (a button's release)",
                "", "Start"});
  table += Row({Address("stop"), "", "none, or one number", "0 does nothing (a button's release)",
                "", "Stop"});
  table += Row({Address("preset"), "", "string", "a preset file's path", "", "Presets, Open"});
  return table;
}

// ---- The receiver ----

OscServer::OscServer(std::function<void()> wake) : wake_(std::move(wake)) {}

OscServer::~OscServer() {
  Close();
}

std::string OscServer::Listen(int port, SenderFilter senders) {
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
  // A bundle dated in the future is carried out at once instead of waiting
  // in liblo's queue, which has no bound.
  lo_server_enable_queue(lo_server_thread_get_server(thread), 0, 1);
  // Every address comes to one handler, which judges and counts it.
  lo_server_thread_add_method(thread, nullptr, nullptr, &OscServer::OnMessage, this);
  senders_ = std::move(senders);
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

OscServer::Refusal OscServer::LastRefusal() const {
  const std::lock_guard lock(refusalMutex_);
  return lastRefusal_;
}

void OscServer::Refuse(std::string why) {
  rejected_.fetch_add(1, std::memory_order_relaxed);
  const std::lock_guard lock(refusalMutex_);
  lastRefusal_ = {std::chrono::steady_clock::now(), std::move(why)};
}

int OscServer::OnMessage(const char* path, const char* types, lo_arg** argv, int argc,
                         lo_message message, void* self) {
  auto* server = static_cast<OscServer*>(self);
  if (!server->senders_.AllowsAnyone()) {
    const lo_address source = lo_message_get_source(message);
    const char* host = source != nullptr ? lo_address_get_hostname(source) : nullptr;
    if (host == nullptr || !server->senders_.Allows(host)) {
      server->Refuse("sender " + Printable(host != nullptr ? host : "unknown", kShownNameChars) +
                     " is not allowed");
      return 0;
    }
  }
  OscVerdict verdict =
      InterpretOsc(path, std::string_view(types, static_cast<std::size_t>(argc)), argv);
  if (!verdict.problem.empty())
    server->Refuse(std::move(verdict.problem));
  if (verdict.command && server->mailbox_.Post(std::move(*verdict.command)) && server->wake_)
    server->wake_();
  return 0;  // handled: no other method sees it
}

}  // namespace whorlgen::control
