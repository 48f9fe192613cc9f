#include "on_demand.h"

#include <exception>
#include <optional>
#include <utility>

#include "detection.h"
#include "messages.h"
#include "module_api.h"
#include "port_opening.h"
#include "qelscale.h"
#include "undecoded.h"
#include "weight_stream.h"

namespace qel {
namespace {

// Keeps the cycle's message for its answer and hands it to the log; never waits for a user.
class CapturingSink final : public CapturedMessage {
 public:
  explicit CapturingSink(MessageSink& log) : log_(log) {}
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    if (!message) message = std::string(text);
    log_.Show(text, caption, icon);
  }

 private:
  MessageSink& log_;
};

// The worker thread's one link state.
class OwnState final : public LinkStateStore {
 public:
  LinkState& ForCurrentThread() override { return state_; }

 private:
  LinkState state_;
};

using Clock = std::chrono::steady_clock;

// How long a cycle in a protocol waits for its frame: a polled scale is asked again at its
// interval meanwhile.
constexpr std::chrono::milliseconds kCycleWait{1500};
constexpr std::chrono::milliseconds kDrainBeforeCommand{150};

// Opens the port at the profile's line, for one exchange.
PortOpening OpenForExchange(Services& services, const std::string& port,
                            const PortProfile& profile) {
  PortSetup setup;
  setup.line = ModuleAPI::LineSettingsFor(profile.line);
  setup.timeouts = [] { return StreamTimeouts(StreamOptions{}.read_wait_ms); };
  setup.on_failure = [&services](const PortOpening& failed) {
    messages::Show(services.messages, failed.error, failed.message);
  };
  return OpenSerialPort(services.serial, port, setup);
}

}  // namespace

NamedPort WithoutOptions(std::string name) {
  NamedPort named;
  named.name = std::move(name);
  named.protocol = &DefaultProtocol();
  return named;
}

OnDemandReader::OnDemandReader(Services& platform, MessageSink& log, std::string port,
                               Callback on_cycle)
    : OnDemandReader(platform, log, WithoutOptions(std::move(port)), std::move(on_cycle)) {}

OnDemandReader::OnDemandReader(Services& platform, MessageSink& log, NamedPort named,
                               Callback on_cycle)
    : platform_(platform),
      log_(log),
      port_(named.name),
      named_(std::move(named)),
      on_cycle_(std::move(on_cycle)) {
  if (!named_.detect && named_.protocol == nullptr) named_.protocol = &DefaultProtocol();
  if (named_.protocol != nullptr) profile_ = named_.ProfileFor(*named_.protocol);
  worker_ = std::thread([this] { Work(); });
}

OnDemandReader::~OnDemandReader() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
  }
  wake_.notify_all();
  worker_.join();
}

void OnDemandReader::Request(Callback done) {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_.push_back(std::move(done));
  }
  wake_.notify_all();
}

std::uint64_t OnDemandReader::cycles() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return cycles_;
}

void OnDemandReader::Command(ScaleCommand command, CommandQueue::Done done,
                             std::shared_ptr<const CommandTicket> ticket) {
  // A port still to be detected learns what its protocol has on the worker thread.
  if (named_.protocol != nullptr && named_.protocol->command(command).empty()) {
    done(CommandResult::kNotSupported);
    return;
  }
  if (!commands_.Push(command, std::move(done), std::move(ticket), Clock::now())) return;
  // The lock orders the push before the worker's look at the queue.
  { std::lock_guard<std::mutex> lock(mutex_); }
  wake_.notify_all();
}

std::chrono::milliseconds OnDemandReader::CommandWindow() const {
  if (profile_) return std::chrono::milliseconds(profile_->command_ms);
  return std::chrono::milliseconds(named_.command_ms.value_or(Protocol{}.answer_ms));
}

bool OnDemandReader::Resolve(Services& services, Reading& failure) {
  if (profile_) return true;
  DetectOptions options;
  options.lines = DetectionLinesFor(named_.baud, named_.framing);
  const DetectResult found = DetectProtocol(services.serial, port_, options);
  if (!found.ok()) {
    messages::Show(services.messages, found.error, found.message);
    failure.error = found.error;
    return false;
  }
  profile_ = named_.DetectedProfile(*found.protocol, found.line);
  log_.Show(port_ + ": " + std::string(found.protocol->id) + " at " + LineText(found.line),
            kDriverCaption, MessageIcon::kNone);
  return true;
}

Reading OnDemandReader::ProtocolCycle(Services& services) {
  Reading reading;
  if (!Resolve(services, reading)) return reading;
  const PortProfile profile = *profile_;
  const Protocol& protocol = *profile.protocol;
  reading.protocol = std::string(protocol.id);
  const PortOpening opening = OpenForExchange(services, port_, profile);
  if (!opening) {
    reading.error = opening.error;
    return reading;
  }
  ScaleLink link(services.serial, opening.handle, protocol);
  const Clock::time_point deadline = Clock::now() + kCycleWait;
  Clock::time_point next_poll{};
  std::vector<std::string> frames;
  for (Clock::time_point now = Clock::now(); now < deadline; now = Clock::now()) {
    if (protocol.polled() && now >= next_poll) {
      next_poll = now + std::chrono::milliseconds(profile.poll_ms);
      const SysStatus sent = link.Send(protocol.request);
      if (!sent.ok) return Failed(services, opening.handle, sent.code);
    }
    frames.clear();
    const ReadOutcome read = link.ReadFrames(frames);
    if (!read.status.ok) return Failed(services, opening.handle, read.status.code);
    for (const std::string& frame : frames) {
      const ScaleFrame decoded = protocol.decode(frame);
      // A frame cut by the open, or a late answer to a command, is not this cycle's reading.
      if (decoded.kind == ScaleFrame::Kind::kInvalid ||
          decoded.kind == ScaleFrame::Kind::kNoWeight ||
          decoded.kind == ScaleFrame::Kind::kAcknowledged ||
          decoded.kind == ScaleFrame::Kind::kRefused) {
        continue;
      }
      services.serial.Close(opening.handle);
      return ReadingFromFrame(decoded, protocol, true, services.locale.UserNumberFormat());
    }
  }
  services.serial.Close(opening.handle);
  // Nothing decoded at the detected line: detect again next time.
  if (named_.detect) profile_.reset();
  return reading;
}

Reading OnDemandReader::Failed(Services& services, PortHandle handle, std::uint32_t code) {
  const std::string message = messages::ReadFailed(code, "");
  messages::Show(services.messages, ReadingError::kReadFailed, message);
  services.serial.Close(handle);
  Reading reading;
  reading.protocol = std::string(profile_->protocol->id);
  reading.error = ReadingError::kReadFailed;
  return reading;
}

CommandResult OnDemandReader::CommandCycle(Services& services, ScaleCommand command) {
  Reading unused;
  if (!Resolve(services, unused)) return CommandResult::kNoAnswer;
  const PortProfile profile = *profile_;
  const Protocol& protocol = *profile.protocol;
  if (protocol.command(command).empty()) return CommandResult::kNotSupported;
  const PortOpening opening = OpenForExchange(services, port_, profile);
  if (!opening) return CommandResult::kNoAnswer;
  ScaleLink link(services.serial, opening.handle, protocol);
  CommandResult result = CommandResult::kNoAnswer;
  std::vector<std::string> frames;
  // What the scale still says to whoever held the port before (an error for a request that
  // is not its own, say) is no answer to this command.
  for (const Clock::time_point quiet = Clock::now() + kDrainBeforeCommand;
       Clock::now() < quiet && link.ReadFrames(frames).status.ok;) {
  }
  frames.clear();
  link.Reset();
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(profile.command_ms);
  bool sent = link.Send(protocol.command(command)).ok;
  while (sent && result == CommandResult::kNoAnswer && Clock::now() < deadline) {
    frames.clear();
    if (!link.ReadFrames(frames).status.ok) break;
    for (const std::string& frame : frames) {
      const ScaleFrame::Kind kind = protocol.reply(command, frame);
      if (kind == ScaleFrame::Kind::kInvalid) continue;
      result = kind == ScaleFrame::Kind::kAcknowledged ? CommandResult::kAcknowledged
                                                       : CommandResult::kRefused;
      break;
    }
  }
  services.serial.Close(opening.handle);
  return result;
}

Reading OnDemandReader::DriverCycle(Qelscale& driver, CapturedMessage& captured) {
  Reading reading;
  Qelscale::Weighing weighing;
  try {
    weighing = driver.Weigh();
  } catch (const std::exception& fault) {
    captured.message = fault.what();
    log_.Show(fault.what(), kDriverCaption, MessageIcon::kCritical);
  }
  reading.ok = weighing.weight.ok;
  reading.value = std::move(weighing.weight.value);
  reading.text = std::move(weighing.weight.text);
  reading.error = weighing.error;
  return reading;
}

Reading OnDemandReader::ReadingCycle(Services& services, Qelscale& driver, CapturedMessage& sink,
                                     ReadRecorder& recorder) {
  // What the cycle is expected to read, for saying what else its bytes were.
  const Protocol* expected = !named_.has_options ? &DefaultProtocol()
                             : profile_          ? profile_->protocol
                                                 : nullptr;
  recorder.Forget();
  sink.message.reset();
  Reading reading = named_.has_options ? ProtocolCycle(services) : DriverCycle(driver, sink);
  reading.port = port_;
  reading.at = std::chrono::system_clock::now();
  reading.message = sink.message;
  if (!reading.ok && reading.error == ReadingError::kNoReading && !reading.message && expected) {
    const std::string why = UndecodedMessage(port_, *expected, recorder.recent());
    if (!why.empty()) {
      log_.Show(why, kDriverCaption, MessageIcon::kNone);
      reading.message = why;
    }
  }
  return reading;
}

void OnDemandReader::Work() {
  CapturingSink sink(log_);
  OwnState state;
  ReadRecorder recorder(platform_.serial);
  Services services{recorder, sink, platform_.locale, platform_.sleeper, state};
  Qelscale driver(services);

  for (;;) {
    std::vector<Callback> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !pending_.empty() || !commands_.empty(); });
      if (stop_) break;
      // Everyone waiting now is answered by this cycle, which opens the port next.
      batch.swap(pending_);
      if (!batch.empty()) ++cycles_;
    }
    // Readings go first; then one command, so a reading waits for at most the one command on
    // the wire and commands still get their turn among a stream of readings.
    if (!batch.empty()) {
      state.ForCurrentThread().PortName = port_;
      const Reading reading = ReadingCycle(services, driver, sink, recorder);
      if (on_cycle_) on_cycle_(reading);
      for (Callback& done : batch) done(reading);
    }
    if (std::optional<CommandQueue::Entry> command =
            commands_.Next(Clock::now(), CommandWindow())) {
      sink.message.reset();
      command->done(CommandCycle(services, command->command));
    }
  }

  // Whoever still waits gets no reading rather than no answer.
  std::vector<Callback> rest;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    rest.swap(pending_);
  }
  Reading none;
  none.port = port_;
  none.at = std::chrono::system_clock::now();
  for (Callback& done : rest) done(none);
  commands_.FailAll(CommandResult::kNoAnswer);
}

}  // namespace qel
