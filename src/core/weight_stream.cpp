#include "weight_stream.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "detection.h"
#include "messages.h"
#include "module_api.h"
#include "on_demand.h"
#include "port_opening.h"
#include "weight_decoding.h"

namespace qel {

void FrameSplitter::Feed(const std::uint8_t* data, std::size_t size,
                         std::vector<std::string>& frames) {
  // The cut is the driver's protocol's own, written once in its table row.
  partial_.append(reinterpret_cast<const char*>(data), size);
  const Protocol& driver = DefaultProtocol();
  std::size_t start = 0;
  for (;;) {
    std::string_view frame;
    const std::size_t used = driver.split(std::string_view(partial_).substr(start), frame);
    if (used == 0) break;
    if (!frame.empty()) frames.emplace_back(frame);
    start += used;
  }
  partial_.erase(0, start);
}

DecodedFrame DecodeFrame(std::string_view frame, const NumberFormat& format) {
  return DecodeWeight(ExtractWeightField(frame), format);
}

void StabilityTracker::OnFrame(const std::string& value, Clock::time_point now) {
  if (!value_ || *value_ != value) {
    value_ = value;
    since_ = now;
  }
}

bool StabilityTracker::IsStable(Clock::time_point now) const {
  return value_ && !value_->empty() && now - since_ >= stable_for_;
}

CommTimeouts StreamTimeouts(std::uint32_t wait_ms) {
  // MAXDWORD, MAXDWORD, c: a read returns at once with what is waiting, or with the first
  // byte to arrive, or empty after c ms.
  constexpr std::uint32_t kMax = std::numeric_limits<std::uint32_t>::max();
  CommTimeouts timeouts;
  timeouts.ReadIntervalTimeout = kMax;
  timeouts.ReadTotalTimeoutMultiplier = kMax;
  timeouts.ReadTotalTimeoutConstant = std::max<std::uint32_t>(wait_ms, 1);
  const CommTimeouts driver = ModuleAPI::MakeTimeouts(ModuleAPI::kBaudRate);
  timeouts.WriteTotalTimeoutMultiplier = driver.WriteTotalTimeoutMultiplier;
  timeouts.WriteTotalTimeoutConstant = driver.WriteTotalTimeoutConstant;
  return timeouts;
}

StreamEngine::StreamEngine(Services& services, std::string port, StreamOptions options,
                           Listener listener)
    : StreamEngine(services, WithoutOptions(std::move(port)), options, std::move(listener)) {}

StreamEngine::StreamEngine(Services& services, NamedPort named, StreamOptions options,
                           Listener listener)
    : services_(services),
      port_(named.name),
      named_(std::move(named)),
      options_(options),
      listener_(std::move(listener)) {
  if (!named_.detect && named_.protocol == nullptr) named_.protocol = &DefaultProtocol();
  if (named_.protocol != nullptr) profile_ = named_.ProfileFor(*named_.protocol);
  if (named_.stable_ms) options_.stable_for = std::chrono::milliseconds(*named_.stable_ms);
}

bool StreamEngine::Stopped() { return stopping_.load(std::memory_order_acquire); }

void StreamEngine::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
    stopping_.store(true, std::memory_order_release);
  }
  wake_.notify_all();
}

bool StreamEngine::Wait(std::chrono::milliseconds delay) {
  std::unique_lock<std::mutex> lock(mutex_);
  return !wake_.wait_for(lock, delay, [this] { return stop_; });
}

StreamEngine::Counters StreamEngine::counters() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return counters_;
}

std::optional<PortProfile> StreamEngine::profile() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_;
}

const Protocol* StreamEngine::protocol() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_ ? profile_->protocol : nullptr;
}

LineFormat StreamEngine::line() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return profile_ ? profile_->line : LineFormat{};
}

void StreamEngine::Command(ScaleCommand command, CommandDone done,
                           std::shared_ptr<const CommandTicket> ticket) {
  const Protocol* known = protocol();
  if (known != nullptr && known->command(command).empty()) {
    done(CommandResult::kNotSupported);
    return;
  }
  if (commands_.Push(command, std::move(done), std::move(ticket),
                     std::chrono::steady_clock::now())) {
    commands_waiting_.store(true, std::memory_order_release);
    wake_.notify_all();
  }
}

void StreamEngine::FinishCommands(CommandResult result) {
  if (asked_) {
    asked_->done(result);
    asked_.reset();
  }
  commands_.FailAll(result);
}

void StreamEngine::Publish(Reading reading) {
  reading.port = port_;
  const bool changed = !last_ || !last_->SameStateAs(reading);
  // A frame that changes nothing differs from the last only in its time: no copy.
  if (changed) {
    last_ = reading;
  } else {
    last_->at = reading.at;
  }
  if (listener_) listener_(reading, changed);
}

void StreamEngine::Fail(ReadingError error, const std::string& message) {
  Reading reading;
  reading.ok = false;
  reading.stable = false;
  reading.error = error;
  reading.message = message;
  reading.at = std::chrono::system_clock::now();
  const Protocol* known = protocol();
  if (named_.has_options && known != nullptr) reading.protocol = std::string(known->id);
  // One message per episode: a port that stays absent is not reported on every retry.
  const bool repeated =
      last_ && !last_->ok && last_->error == error && last_->message == reading.message;
  if (!repeated) messages::Show(services_.messages, error, *reading.message);
  Publish(std::move(reading));
}

bool StreamEngine::Detect() {
  DetectOptions options;
  options.stopped = [this] { return Stopped(); };
  options.lines = DetectionLinesFor(named_.baud, named_.framing);
  const DetectResult found = DetectProtocol(services_.serial, port_, options);
  if (!found.ok()) {
    if (!Stopped()) Fail(found.error, found.message);
    return false;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    profile_ = named_.DetectedProfile(*found.protocol, found.line);
  }
  services_.messages.Show(
      port_ + ": " + std::string(found.protocol->id) + " at " + LineText(found.line),
      kDriverCaption, MessageIcon::kNone);
  return true;
}

void StreamEngine::Run() {
  format_ = services_.locale.UserNumberFormat();
  std::chrono::milliseconds backoff = options_.backoff_min;
  PortSetup setup;
  setup.timeouts = [this] { return StreamTimeouts(options_.read_wait_ms); };
  setup.on_failure = [this](const PortOpening& failed) { Fail(failed.error, failed.message); };
  while (!Stopped()) {
    if (!profile() && !Detect()) {
      FinishCommands(CommandResult::kNoAnswer);
      if (!Wait(backoff)) break;
      backoff = std::min(backoff * 2, options_.backoff_max);
      continue;
    }
    // A port named without options keeps the driver's own line, field for field.
    const std::optional<PortProfile> profile = this->profile();
    if (!profile) continue;  // detection started over meanwhile
    setup.line = named_.has_options ? ModuleAPI::LineSettingsFor(profile->line)
                                    : ModuleAPI::MakeLineSettings(ModuleAPI::kBaudRate);
    const PortOpening opening = OpenSerialPort(recorder_, port_, setup);
    if (opening.handle != kInvalidPortHandle) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.opens;
    }
    if (opening.ok()) {
      backoff = options_.backoff_min;
      ReadLoop(opening.handle, *profile);
      recorder_.Close(opening.handle);
      FinishCommands(CommandResult::kNoAnswer);
      if (!Wait(backoff)) break;
      continue;
    }
    FinishCommands(CommandResult::kNoAnswer);
    if (!Wait(backoff)) break;
    backoff = std::min(backoff * 2, options_.backoff_max);
  }
  FinishCommands(CommandResult::kNoAnswer);
}

SysStatus StreamEngine::Drive(ScaleLink& link, const PortProfile& profile,
                              std::chrono::steady_clock::time_point now) {
  const Protocol& protocol = *profile.protocol;
  const std::chrono::milliseconds window(profile.command_ms);
  if (asked_ && now >= answer_due_) {
    asked_->done(CommandResult::kNoAnswer);
    asked_.reset();
  }
  // Some scales answer a command with a frame like any weight's: it is sent only once the
  // answer to the last poll is in (or overdue), so that answer is not taken for the command's.
  const bool poll_in_flight =
      poll_outstanding_ && now < poll_sent_ + std::chrono::milliseconds(profile.poll_ms);
  // The queue (and its lock) is asked only once a command came since it was last found empty.
  if (!asked_ && !poll_in_flight && commands_waiting_.exchange(false, std::memory_order_acq_rel)) {
    asked_ = commands_.Next(now, window);
    if (asked_) {
      commands_waiting_.store(true, std::memory_order_release);  // there may be more
      answer_due_ = now + window;
      const SysStatus sent = link.Send(protocol.command(asked_->command));
      if (!sent.ok) return sent;
    }
  }
  // A polled scale is asked again once its interval passed, but not over a command's answer.
  if (protocol.polled() && !asked_ && now >= next_poll_) {
    next_poll_ = now + std::chrono::milliseconds(profile.poll_ms);
    poll_outstanding_ = true;
    poll_sent_ = now;
    return link.Send(protocol.request);
  }
  return SysStatus::Ok();
}

bool StreamEngine::AnswerCommand(const Protocol& protocol, const std::string& frame) {
  if (!asked_ || protocol.reply == nullptr) return true;
  const ScaleFrame::Kind kind = protocol.reply(asked_->command, frame);
  if (kind == ScaleFrame::Kind::kInvalid) return true;
  asked_->done(kind == ScaleFrame::Kind::kAcknowledged ? CommandResult::kAcknowledged
                                                       : CommandResult::kRefused);
  asked_.reset();
  // A polled scale is asked for the new weight at once.
  next_poll_ = {};
  return false;
}

bool StreamEngine::OnFrame(const Protocol& protocol, const std::string& frame,
                           StabilityTracker& stability, std::chrono::steady_clock::time_point now) {
  poll_outstanding_ = false;
  if (!AnswerCommand(protocol, frame)) {
    last_decoded_ = now;
    return false;
  }
  const ScaleFrame decoded = protocol.decode(frame);
  if (decoded.kind != ScaleFrame::Kind::kInvalid) {
    last_decoded_ = now;
    recorder_.Forget();
  }
  if (decoded.kind == ScaleFrame::Kind::kAcknowledged ||
      decoded.kind == ScaleFrame::Kind::kRefused) {
    return false;  // a late answer to a command given up on
  }
  // The reading found before stands; the no-frame time bounds how long.
  if (decoded.kind == ScaleFrame::Kind::kNoWeight) return false;
  Reading reading = ReadingFromFrame(decoded, protocol, named_.has_options, format_);
  if (decoded.kind == ScaleFrame::Kind::kInvalid) Explain(protocol, reading, now);
  stability.OnFrame(reading.ok ? reading.value : std::string(), now);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ++counters_.frames;
    if (reading.ok) ++counters_.readings;
  }
  if (reading.ok && !protocol.motion_flag) reading.stable = stability.IsStable(now);
  Publish(std::move(reading));
  return true;
}

void StreamEngine::Explain(const Protocol& protocol, Reading& reading,
                           std::chrono::steady_clock::time_point now) {
  // Bytes for a while, none of them a frame: the scale speaks something else.
  if (now - last_decoded_ <= kExplainAfter) return;
  std::string why = UndecodedMessage(port_, protocol, recorder_.recent());
  if (why.empty()) return;
  if (!last_ || last_->message != why) {
    services_.messages.Show(why, kDriverCaption, MessageIcon::kNone);
  }
  reading.message = std::move(why);
}

void StreamEngine::ReportNoReading(const Protocol& protocol,
                                   std::chrono::steady_clock::time_point now) {
  Reading reading;
  reading.ok = false;
  reading.stable = false;
  reading.error = ReadingError::kNoReading;
  reading.at = std::chrono::system_clock::now();
  if (named_.has_options) reading.protocol = std::string(protocol.id);
  Explain(protocol, reading, now);
  if (last_ && last_->SameStateAs(reading)) return;  // nothing new to say
  Publish(std::move(reading));
}

void StreamEngine::ReadLoop(PortHandle handle, const PortProfile& profile) {
  using Clock = std::chrono::steady_clock;
  const Protocol& protocol = *profile.protocol;
  ScaleLink link(recorder_, handle, protocol);
  StabilityTracker stability(options_.stable_for);
  std::vector<std::string> frames;
  Clock::time_point last_valid = Clock::now();
  last_decoded_ = last_valid;
  next_poll_ = {};
  poll_outstanding_ = false;
  recorder_.Forget();

  while (!Stopped()) {
    const SysStatus sent = Drive(link, profile, Clock::now());
    if (!sent.ok) {
      // A line that takes no request has gone the way of one that gives no bytes.
      Fail(ReadingError::kReadFailed, messages::ReadFailed(sent.code, ""));
      return;
    }
    frames.clear();
    const ReadOutcome read = link.ReadFrames(frames);
    if (!read.status.ok) {
      // The device vanished (or failed): the frame in progress is lost with it.
      Fail(ReadingError::kReadFailed, messages::ReadFailed(read.status.code, ""));
      return;
    }
    const Clock::time_point now = Clock::now();
    bool published = false;
    for (const std::string& frame : frames) {
      if (!OnFrame(protocol, frame, stability, now)) continue;
      published = true;
      if (last_->ok) last_valid = now;
    }
    if (named_.detect && now - last_decoded_ > kRedetectAfter) {
      // Another scale, or the same one set to another protocol or line: find it again.
      std::lock_guard<std::mutex> lock(mutex_);
      profile_.reset();
      return;
    }
    // The port is open but silent, or sends nothing that reads as a weight: said at once,
    // and once more with what the bytes are when they have been no frame for a while.
    const bool silent = !published && now - last_valid > options_.no_frame_after;
    const bool said = last_ && !last_->ok && last_->error == ReadingError::kNoReading;
    const bool unexplained = said && !last_->message && now - last_decoded_ > kExplainAfter;
    if ((silent && !said) || unexplained) {
      stability.Reset();
      ReportNoReading(protocol, now);
    }
  }
}

}  // namespace qel
