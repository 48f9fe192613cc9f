#include "scale_service.h"

#include <chrono>
#include <cmath>
#include <cstdlib>
#include <utility>

#include "named_port.h"
#include "opos_constants.h"

namespace qel::opos {
namespace {

using Clock = std::chrono::steady_clock;

// How long ZeroScale and a TareWeight waits at most for the engine's answer: the engine ends
// every command within its protocol's answer window, this only guards against a lost one.
constexpr std::chrono::seconds kCommandGuard{30};
// ClaimDevice's retry interval while another holds the device.
constexpr std::chrono::milliseconds kClaimRetry{50};

// Grams per unit, for the units a reading may carry.
std::optional<double> GramsPer(const std::string& unit) {
  if (unit == "g") return 1.0;
  if (unit == "kg" || unit.empty()) return 1000.0;  // the driver's own frames are kilograms
  if (unit == "mg") return 0.001;
  if (unit == "t") return 1e6;
  if (unit == "ct") return 0.2;
  if (unit == "lb") return 453.59237;
  if (unit == "oz") return 28.349523125;
  return std::nullopt;
}

double GramsPerOposUnit(std::int32_t unit) {
  switch (unit) {
    case kUnitGram:
      return 1.0;
    case kUnitOunce:
      return 28.349523125;
    case kUnitPound:
      return 453.59237;
    default:
      return 1000.0;
  }
}

// Thousandths of "1.234", "-0.5", "12"; nothing for anything else.
std::optional<long long> Thousandths(const std::string& value) {
  if (value.empty()) return std::nullopt;
  const bool negative = value[0] == '-';
  long long whole = 0;
  long long fraction = 0;
  int decimals = -1;
  for (std::size_t i = negative ? 1 : 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '.' && decimals < 0) {
      decimals = 0;
    } else if (c >= '0' && c <= '9') {
      if (decimals < 0) {
        whole = whole * 10 + (c - '0');
        if (whole > 1000000000LL) return std::nullopt;
      } else if (decimals < 3) {
        fraction = fraction * 10 + (c - '0');
        ++decimals;
      }
    } else {
      return std::nullopt;
    }
  }
  for (int d = decimals < 0 ? 0 : decimals; d < 3; ++d) fraction *= 10;
  const long long total = whole * 1000 + fraction;
  return negative ? -total : total;
}

std::int32_t LiveStatus(const Judged& judged, const Reading& reading) {
  if (judged.kind == Judged::kOverweight) return kStatusOverweight;
  if (judged.kind == Judged::kUnderZero) return kStatusUnderZero;
  if (!reading.ok) return kStatusNotReady;
  if (!reading.stable.value_or(false)) return kStatusWeightUnstable;
  return judged.weight == 0 ? kStatusWeightZero : kStatusStableWeight;
}

}  // namespace

std::optional<std::int32_t> ReadingWeight(const Reading& reading, std::int32_t to_unit) {
  if (!reading.ok) return std::nullopt;
  const std::optional<long long> value = Thousandths(reading.value);
  const std::optional<double> grams = GramsPer(reading.unit);
  if (!value || !grams) return std::nullopt;
  const double converted =
      std::round(static_cast<double>(*value) * *grams / GramsPerOposUnit(to_unit));
  if (std::fabs(converted) > 2147483647.0) return std::nullopt;
  return static_cast<std::int32_t>(converted);
}

ScaleService::ScaleService(ServiceHost& host) : host_(host) {}

ScaleService::~ScaleService() { Close(); }

std::int32_t ScaleService::Done(std::int32_t result, std::int32_t extended) {
  result_ = result;
  extended_ = result == kExtended ? extended : 0;
  return result;
}

std::int32_t ScaleService::Require(bool claimed, bool enabled) {
  if (!open_) return kClosed;
  if (claimed && !claim_) return kNotClaimed;
  if (enabled && !link_) return kDisabled;
  return kSuccess;
}

std::int32_t ScaleService::Open(const std::string& device_class, const std::string& device_name) {
  if (open_) return Done(kIllegal);
  if (device_class != "Scale") return Done(kNoService);
  std::optional<DeviceSettings> settings = host_.Settings(device_name);
  if (!settings || settings->port.empty()) return Done(kNoExist);
  std::string error;
  const std::optional<NamedPort> named = ParseNamedPort(settings->port, error);
  if (!named) return Done(kNoExist);
  if (settings->weight_unit < kUnitGram || settings->weight_unit > kUnitPound) {
    settings->weight_unit = kUnitKilogram;
  }
  settings_ = *settings;
  protocol_ = named->detect ? nullptr : named->protocol;
  port_name_ = named->name;
  device_name_ = device_name;
  open_ = true;
  ClearInputProperties();
  status_notify_ = kNotifyDisabled;
  tare_weight_ = 0;
  health_text_.clear();
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();  // nothing from an earlier session reaches this one
    frozen_ = false;
    data_events_ = false;
    async_mode_ = false;
    zero_valid_ = false;
  }
  return Done(kSuccess);
}

std::int32_t ScaleService::Close() {
  if (!open_) return Done(kClosed);
  if (claim_) ReleaseDevice();
  ClearInput();
  open_ = false;
  return Done(kSuccess);
}

std::int32_t ScaleService::ClaimDevice(std::int32_t timeout_ms) {
  if (!open_) return Done(kClosed);
  if (claim_) return Done(kSuccess);
  if (timeout_ms < kForever) return Done(kIllegal);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    std::shared_ptr<void> claim = host_.Claim(device_name_);
    const PortCheck check = claim ? host_.CheckPort(port_name_) : PortCheck::kHeld;
    if (check == PortCheck::kAbsent) return Done(kNoHardware);
    if (check == PortCheck::kFree) {
      claim_ = std::move(claim);
      return Done(kSuccess);
    }
    // Claimed by another instance, or the port held by another program.
    if (timeout_ms != kForever && Clock::now() >= deadline) return Done(kClaimed);
    std::this_thread::sleep_for(kClaimRetry);
  }
}

std::int32_t ScaleService::ReleaseDevice() {
  if (!open_) return Done(kClosed);
  if (!claim_) return Done(kIllegal);
  SetEnabled(false);
  claim_.reset();
  return Done(kSuccess);
}

std::int32_t ScaleService::SetEnabled(bool enabled) {
  if (!enabled) {
    StopAsyncRead();
    link_.reset();  // closes the port
    const std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = false;
    last_.reset();
    last_status_ = 0;
    last_live_ = -1;
    return Done(kSuccess);
  }
  const std::int32_t allowed = Require(true, false);
  if (allowed != kSuccess) return Done(allowed);
  if (link_) return Done(kSuccess);
  const PortCheck check = host_.CheckPort(port_name_);
  if (check == PortCheck::kAbsent) return Done(kNoHardware);
  if (check == PortCheck::kHeld) return Done(kClaimed);
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = true;
  }
  link_ = host_.Start(settings_, [this](const Reading& reading) { OnReading(reading); });
  if (!link_) {
    const std::lock_guard<std::mutex> lock(mutex_);
    enabled_ = false;
    return Done(kFailure);
  }
  return Done(kSuccess);
}

std::int32_t ScaleService::CheckHealth(std::int32_t level) {
  const std::int32_t allowed = Require(true, true);
  if (allowed != kSuccess) return Done(allowed);
  if (level != kHealthInternal && level != kHealthExternal) return Done(kIllegal);
  const char* what = level == kHealthInternal ? "Internal" : "External";
  bool reading = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    reading = last_ && last_->ok;
  }
  health_text_ = std::string(what) + " HCheck: " +
                 (reading ? "Successful" : "No weight from the scale on " + settings_.port);
  return Done(kSuccess);
}

std::int32_t ScaleService::ClearInput() {
  if (!open_) return Done(kClosed);
  StopAsyncRead();
  const std::lock_guard<std::mutex> lock(mutex_);
  std::deque<Event> kept;
  for (const Event& event : events_) {
    if (event.kind == Event::kStatus) kept.push_back(event);
  }
  events_.swap(kept);
  return Done(kSuccess);
}

std::int32_t ScaleService::ClearInputProperties() {
  if (!open_) return Done(kClosed);
  // The Scale has no input properties beyond DataCount's events, which ClearInput drops.
  return Done(kSuccess);
}

std::int32_t ScaleService::FreezeEvents(bool freeze) {
  if (!open_) return Done(kClosed);
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    frozen_ = freeze;
    wake = !freeze && !events_.empty();
  }
  if (wake) host_.EventsWaiting();
  return Done(kSuccess);
}

std::int32_t ScaleService::Unsupported() {
  if (!open_) return Done(kClosed);
  return Done(kIllegal);
}

Judged ScaleService::JudgeLocked(const Reading& reading) const {
  Judged judged;
  if (reading.error == ReadingError::kOverload) return {Judged::kOverweight, 0};
  if (reading.error == ReadingError::kUnderZero) return {Judged::kUnderZero, 0};
  const std::optional<std::int32_t> weight = ReadingWeight(reading, settings_.weight_unit);
  if (!weight) return judged;
  if (*weight < 0) return {Judged::kUnderZero, 0};
  if (settings_.maximum_weight > 0 && *weight > settings_.maximum_weight) {
    return {Judged::kOverweight, 0};
  }
  judged.weight = *weight;
  if (reading.stable.value_or(false) && (*weight != 0 || zero_valid_))
    judged.kind = Judged::kWeight;
  return judged;
}

std::int32_t ScaleService::ReadWeight(std::int32_t& weight, std::int32_t timeout_ms) {
  weight = 0;
  const std::int32_t allowed = Require(true, true);
  if (allowed != kSuccess) return Done(allowed);
  if (timeout_ms < kForever) return Done(kIllegal);
  bool async = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    async = async_mode_;
    if (async && async_pending_) return Done(kBusy);
  }
  if (async) return StartAsyncRead(timeout_ms);
  std::unique_lock<std::mutex> lock(mutex_);
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeout_ms < 0 ? 0 : timeout_ms);
  for (;;) {
    const Judged judged = last_ ? JudgeLocked(*last_) : Judged{};
    if (judged.kind == Judged::kWeight) {
      weight = judged.weight;
      lock.unlock();
      return Done(kSuccess);
    }
    if (judged.kind != Judged::kWait) {
      lock.unlock();
      return Done(kExtended, judged.kind == Judged::kOverweight ? kExtOverweight : kExtUnderZero);
    }
    if (timeout_ms == kForever) {
      changed_.wait(lock);
    } else if (changed_.wait_until(lock, deadline) == std::cv_status::timeout) {
      lock.unlock();
      return Done(kTimeout);
    }
  }
}

std::int32_t ScaleService::StartAsyncRead(std::int32_t timeout_ms) {
  StopAsyncRead();
  std::uint64_t generation = 0;
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    async_pending_ = true;
    async_timeout_ = timeout_ms;
    generation = ++async_generation_;
    wake = AnswerAsyncReadLocked();
  }
  if (wake) {
    host_.EventsWaiting();
  } else {
    async_waiter_ =
        std::thread([this, timeout_ms, generation] { AsyncWait(timeout_ms, generation); });
  }
  return Done(kSuccess);
}

void ScaleService::AsyncWait(std::int32_t timeout_ms, std::uint64_t generation) {
  std::unique_lock<std::mutex> lock(mutex_);
  auto over = [&] { return !async_pending_ || async_generation_ != generation; };
  if (timeout_ms == kForever) {
    changed_.wait(lock, over);
    return;
  }
  if (changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), over)) return;
  async_pending_ = false;
  events_.push_back({Event::kError, kTimeout, 0, 0});
  lock.unlock();
  host_.EventsWaiting();
}

void ScaleService::StopAsyncRead() {
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    async_pending_ = false;
    ++async_generation_;
  }
  changed_.notify_all();
  if (async_waiter_.joinable()) async_waiter_.join();
}

// Caller holds mutex_.
bool ScaleService::AnswerAsyncReadLocked() {
  if (!async_pending_ || !last_) return false;
  const Judged judged = JudgeLocked(*last_);
  if (judged.kind == Judged::kWait) return false;
  async_pending_ = false;
  if (judged.kind == Judged::kWeight) {
    events_.push_back({Event::kData, judged.weight, 0, 0});
  } else {
    events_.push_back({Event::kError, kExtended,
                       judged.kind == Judged::kOverweight ? kExtOverweight : kExtUnderZero, 0});
  }
  return true;
}

// Caller holds mutex_.
bool ScaleService::QueueLiveStatusLocked(const Reading& reading) {
  if (status_notify_ != kNotifyEnabled) return false;
  const Judged judged = JudgeLocked(reading);
  const std::int32_t status = LiveStatus(judged, reading);
  const std::int32_t live = status == kStatusStableWeight ? judged.weight : 0;
  if (status == last_status_ && live == last_live_) return false;
  last_status_ = status;
  last_live_ = live;
  events_.push_back({Event::kStatus, status, 0, live});
  return true;
}

void ScaleService::OnReading(const Reading& reading) {
  bool wake = false;
  {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (!enabled_) return;
    last_ = reading;
    wake = QueueLiveStatusLocked(reading);
    wake = AnswerAsyncReadLocked() || wake;
  }
  changed_.notify_all();
  if (wake) host_.EventsWaiting();
}

std::int32_t ScaleService::RunCommand(ScaleCommand command) {
  const std::int32_t allowed = Require(true, true);
  if (allowed != kSuccess) return Done(allowed);
  auto answer = std::make_shared<std::optional<CommandResult>>();
  link_->Command(command, [this, answer](CommandResult result) {
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      *answer = result;
    }
    changed_.notify_all();
  });
  std::unique_lock<std::mutex> lock(mutex_);
  if (!changed_.wait_for(lock, kCommandGuard, [&] { return answer->has_value(); })) {
    return Done(kTimeout);
  }
  const Judged judged = last_ ? JudgeLocked(*last_) : Judged{};
  lock.unlock();
  switch (**answer) {
    case CommandResult::kAcknowledged:
      return Done(kSuccess);
    case CommandResult::kNotSupported:
      return Done(kIllegal);
    case CommandResult::kRefused:
      // The scale says no while it is out of range: say which way, as ReadWeight would.
      if (judged.kind == Judged::kOverweight) return Done(kExtended, kExtOverweight);
      if (judged.kind == Judged::kUnderZero) return Done(kExtended, kExtUnderZero);
      return Done(kFailure);
    case CommandResult::kTooManyCommands:
      return Done(kBusy);
    case CommandResult::kNoAnswer:
    default:
      return Done(kTimeout);
  }
}

std::int32_t ScaleService::ZeroScale() {
  if (open_ && protocol_ && protocol_->zero.empty()) return Done(kIllegal);
  return RunCommand(ScaleCommand::kZero);
}

std::optional<ScaleService::Event> ScaleService::NextEventLocked() {
  if (frozen_ || delivering_) return std::nullopt;
  for (auto it = events_.begin(); it != events_.end(); ++it) {
    // Input events wait for DataEventEnabled; status updates do not.
    if (it->kind != Event::kStatus && !data_events_) continue;
    const Event event = *it;
    events_.erase(it);
    if (event.kind == Event::kData) data_events_ = false;
    if (event.kind == Event::kStatus) live_weight_ = event.live;
    delivering_ = true;
    return event;
  }
  return std::nullopt;
}

void ScaleService::DeliverEvents(EventTarget& target) {
  for (;;) {
    std::optional<Event> event;
    {
      const std::lock_guard<std::mutex> lock(mutex_);
      event = NextEventLocked();
    }
    if (!event) return;
    Deliver(target, *event);
    const std::lock_guard<std::mutex> lock(mutex_);
    delivering_ = false;
  }
}

void ScaleService::Deliver(EventTarget& target, const Event& event) {
  switch (event.kind) {
    case Event::kData:
      target.Data(event.value);
      if (auto_disable_ && open_) SetEnabled(false);
      return;
    case Event::kStatus:
      target.StatusUpdate(event.value);
      return;
    case Event::kError: {
      const std::int32_t response =
          target.Error(event.value, event.extended, kLocusInput, kResponseClear);
      // Retry asks for the same read again; anything else leaves the input cleared.
      if (response == kResponseRetry && link_) StartAsyncRead(async_timeout_);
      return;
    }
  }
}

}  // namespace qel::opos
