#include "discovery/device_directory.h"

#include <algorithm>
#include <set>
#include <utility>

#include "engine/shown_text.h"

namespace whorlgen::discovery {

using Clock = std::chrono::steady_clock;
using output::DacInfo;
using output::DeviceState;

namespace {

bool SameListing(const DacInfo& a, const DacInfo& b) {
  return a.Name == b.Name && a.ShortName == b.ShortName && a.Kind == b.Kind &&
         a.Address == b.Address && a.State == b.State;
}

bool SameSnapshot(const Snapshot& a, const Snapshot& b) {
  return a.Scanning == b.Scanning && a.ScansDone == b.ScansDone && a.Problems == b.Problems &&
         std::equal(a.Devices.begin(), a.Devices.end(), b.Devices.begin(), b.Devices.end(),
                    SameListing);
}

class MissingDacDriver : public output::DacDriver {
 public:
  explicit MissingDacDriver(std::string name) : name_(std::move(name)) {}
  output::DacFailure OpenDac(engine::GeneratorState&) override {
    return name_ +
           " is missing: it is no longer listed, so nothing was sent. Choose another DAC, "
           "or wait until it is listed again.";
  }
  output::DacFailure SendFrame(const engine::FrameData&, std::int32_t) override {
    return std::nullopt;
  }
  output::DacFailure CloseDac() override { return std::nullopt; }

 private:
  std::string name_;
};

}  // namespace

DeviceDirectory::DeviceDirectory(DirectoryLimits limits) : limits_(limits) {}

DeviceDirectory::~DeviceDirectory() {
  Stop();
  // The families' own threads may still tell of news while they end.
  families_.clear();
}

void DeviceDirectory::AddFamily(std::unique_ptr<output::DacFamily> family) {
  families_.push_back(std::move(family));
}

void DeviceDirectory::Start(std::function<void()> newSnapshot) {
  newSnapshot_ = std::move(newSnapshot);
  for (auto& family : families_)
    family->WatchChanges([this] { Poke(); });
  thread_ = std::thread([this] { Run(); });
}

void DeviceDirectory::Stop() {
  {
    std::lock_guard lock(mailboxMutex_);
    stop_ = true;
  }
  wake_.notify_all();
  if (thread_.joinable())
    thread_.join();
}

void DeviceDirectory::Poke() {
  {
    std::lock_guard lock(mailboxMutex_);
    poked_ = true;
  }
  wake_.notify_all();
}

bool DeviceDirectory::RequestScan() {
  {
    std::lock_guard lock(mailboxMutex_);
    scanAsked_ = true;
  }
  wake_.notify_all();
  return true;
}

bool DeviceDirectory::RequestAddAddresses(const std::string& kind,
                                          std::vector<std::string> addresses) {
  {
    std::lock_guard lock(mailboxMutex_);
    if (mailbox_.size() >= limits_.MailboxSize)
      return false;
    mailbox_.push_back({Request::Kind::Add, kind, std::move(addresses)});
  }
  wake_.notify_all();
  return true;
}

bool DeviceDirectory::RequestRemoveAddress(const std::string& kind, const std::string& address) {
  {
    std::lock_guard lock(mailboxMutex_);
    if (mailbox_.size() >= limits_.MailboxSize)
      return false;
    mailbox_.push_back({Request::Kind::Remove, kind, {address}});
  }
  wake_.notify_all();
  return true;
}

Snapshot DeviceDirectory::Latest() const {
  std::lock_guard lock(snapshotMutex_);
  return latest_;
}

std::unique_ptr<output::DacDriver> DeviceDirectory::MakeDriver(const std::string& name) const {
  std::optional<Listed> found;
  {
    std::lock_guard lock(snapshotMutex_);
    for (std::size_t i = 0; i < latest_.Devices.size(); ++i) {
      if (latest_.Devices[i].Name == name)
        found = listed_[i];
    }
  }
  if (!found)
    return nullptr;
  return families_[found->Family]->MakeDriver(found->AsGiven);
}

void DeviceDirectory::Run() {
  Look();
  std::vector<Request> requests;
  bool scan = false;
  while (WaitForWork(requests, scan)) {
    for (const Request& request : requests)
      Apply(request);
    if (scan)
      ScanAll();
    Look();
  }
}

bool DeviceDirectory::WaitForWork(std::vector<Request>& requests, bool& scan) {
  std::unique_lock lock(mailboxMutex_);
  while (true) {
    if (stop_)
      return false;
    const Clock::time_point now = Clock::now();
    const Clock::time_point gathered = lastLook_ + limits_.Gather;
    const bool expiring = nextExpiry_ && now >= *nextExpiry_;
    if (!mailbox_.empty() || scanAsked_ || (poked_ && now >= gathered) || expiring)
      break;
    std::optional<Clock::time_point> until = nextExpiry_;
    if (poked_)
      until = until ? std::min(*until, gathered) : gathered;
    if (until)
      wake_.wait_until(lock, *until);
    else
      wake_.wait(lock);
  }
  requests.assign(std::make_move_iterator(mailbox_.begin()),
                  std::make_move_iterator(mailbox_.end()));
  mailbox_.clear();
  scan = std::exchange(scanAsked_, false);
  poked_ = false;
  return true;
}

void DeviceDirectory::Apply(const Request& request) {
  for (auto& family : families_) {
    if (family->Kind() != request.Family)
      continue;
    for (const std::string& address : request.Addresses) {
      if (request.What == Request::Kind::Add)
        family->AddAddress(address);
      else
        family->RemoveAddress(address);
    }
  }
}

void DeviceDirectory::ScanAll() {
  scanning_ = true;
  Look();
  // The families look at once, each on a thread of its own, so a scan takes
  // as long as the slowest family's, not their sum.
  std::vector<std::thread> scans;
  scans.reserve(families_.size());
  for (auto& family : families_)
    scans.emplace_back([&family] { family->Scan(); });
  for (std::thread& scan : scans)
    scan.join();
  scanning_ = false;
  ++scansDone_;
}

void DeviceDirectory::Look() {
  const Clock::time_point now = Clock::now();
  lastLook_ = now;
  nextExpiry_.reset();
  const auto expireAt = [&](Clock::time_point at) {
    nextExpiry_ = nextExpiry_ ? std::min(*nextExpiry_, at) : at;
  };
  const auto showable = [&](const std::string& text) {
    return engine::ShownText(text, limits_.MaxNameCharacters);
  };

  Snapshot next;
  next.Scanning = scanning_;
  next.ScansDone = scansDone_;
  std::vector<Listed> listed;
  std::set<std::string> names;
  for (std::size_t f = 0; f < families_.size(); ++f) {
    std::vector<DacInfo> devices = families_[f]->Devices();
    if (devices.size() > limits_.MaxPerFamily)
      devices.resize(limits_.MaxPerFamily);
    for (const DacInfo& given : devices) {
      DacInfo shown{showable(given.Name), showable(given.ShortName),
                    showable(given.Kind), showable(given.Address),
                    given.State,          given.HeardAt};
      if (given.HeardAt) {
        const auto silence = now - *given.HeardAt;
        if (silence >= limits_.ForgetAfter)
          continue;
        const bool quiet = silence >= limits_.QuietAfter;
        if (quiet && shown.State != DeviceState::Playing)
          shown.State = DeviceState::Unreachable;
        expireAt(*given.HeardAt + (quiet ? limits_.ForgetAfter : limits_.QuietAfter));
      }
      if (shown.Name.empty())
        shown.Name = shown.Kind + " " + shown.Address;
      // Names are the run's key: two that read the same are told apart by
      // the address, and a third is not listed.
      if (names.count(shown.Name))
        shown.Name += " (" + shown.Address + ")";
      if (!names.insert(shown.Name).second)
        continue;
      next.Devices.push_back(std::move(shown));
      listed.push_back({f, given});
    }
    if (const std::string problem = families_[f]->Problem(); !problem.empty())
      next.Problems.push_back(problem);
  }

  {
    std::lock_guard lock(snapshotMutex_);
    if (latest_.Version > 0 && SameSnapshot(next, latest_))
      return;
    next.Version = latest_.Version + 1;
    latest_ = std::move(next);
    listed_ = std::move(listed);
  }
  if (newSnapshot_)
    newSnapshot_();
}

std::unique_ptr<output::DacDriver> MakeMissingDacDriver(const std::string& name) {
  return std::make_unique<MissingDacDriver>(name);
}

}  // namespace whorlgen::discovery
