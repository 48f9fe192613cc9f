#include "on_demand.h"

#include <exception>
#include <optional>
#include <utility>

#include "qelscale.h"
#include "weight_decoding.h"

namespace qel {
namespace {

// The platform's serial calls, watched: which step of the cycle failed.
class WatchedSerial final : public SerialApi {
 public:
  explicit WatchedSerial(SerialApi& inner) : inner_(inner) {}

  void Begin() { failure = ReadingError::kNone; }
  ReadingError failure = ReadingError::kNone;

  OpenOutcome Open(const std::string& device) override {
    OpenOutcome outcome = inner_.Open(device);
    if (outcome.handle == kInvalidPortHandle) failure = ReadingError::kPortUnavailable;
    return outcome;
  }
  void Purge(PortHandle handle) override { inner_.Purge(handle); }
  SysStatus SetState(PortHandle handle, const LineSettings& settings) override {
    SysStatus status = inner_.SetState(handle, settings);
    if (!status.ok) failure = ReadingError::kSetupFailed;
    return status;
  }
  SysStatus SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
    SysStatus status = inner_.SetTimeouts(handle, timeouts);
    if (!status.ok) failure = ReadingError::kSetupFailed;
    return status;
  }
  ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) override {
    ReadOutcome outcome = inner_.Read(handle, buffer, count);
    if (!outcome.status.ok) failure = ReadingError::kReadFailed;
    return outcome;
  }
  void Close(PortHandle handle) override { inner_.Close(handle); }

 private:
  SerialApi& inner_;
};

// Keeps the cycle's message for its answer and hands it to the log; never waits for a user.
class CapturingSink final : public MessageSink {
 public:
  explicit CapturingSink(MessageSink& log) : log_(log) {}
  std::optional<std::string> message;
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

// The value with "." and three decimals from the weight text in `format`.
std::string PointValue(std::string text, const NumberFormat& format) {
  if (!format.decimal_separator.empty()) {
    const std::size_t at = text.rfind(format.decimal_separator);
    if (at != std::string::npos) text.replace(at, format.decimal_separator.size(), ".");
  }
  if (!text.empty() && text.front() == '.') text.insert(text.begin(), '0');
  return text;
}

}  // namespace

OnDemandReader::OnDemandReader(Services& platform, MessageSink& log, std::string port,
                               Callback on_cycle)
    : platform_(platform), log_(log), port_(std::move(port)), on_cycle_(std::move(on_cycle)) {
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

void OnDemandReader::Work() {
  WatchedSerial serial(platform_.serial);
  CapturingSink sink(log_);
  OwnState state;
  Services services{serial, sink, platform_.locale, platform_.sleeper, state};
  Qelscale driver(services);
  const NumberFormat format = platform_.locale.UserNumberFormat();

  for (;;) {
    std::vector<Callback> batch;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      wake_.wait(lock, [this] { return stop_ || !pending_.empty(); });
      if (stop_) break;
      // Everyone waiting now is answered by this cycle, which opens the port next.
      batch.swap(pending_);
      ++cycles_;
    }
    serial.Begin();
    sink.message.reset();
    state.ForCurrentThread().PortName = port_;
    Reading reading;
    reading.port = port_;
    try {
      reading.text = driver.GetWeight_();
    } catch (const std::exception& fault) {
      reading.text = std::string(kNoReading);
      sink.message = fault.what();
      log_.Show(fault.what(), kDriverCaption, MessageIcon::kCritical);
    }
    reading.at = std::chrono::system_clock::now();
    reading.ok = reading.text != kNoReading;
    if (reading.ok) {
      reading.error = ReadingError::kNone;
      reading.value = PointValue(reading.text, format);
    } else {
      reading.error =
          serial.failure != ReadingError::kNone ? serial.failure : ReadingError::kNoReading;
    }
    reading.message = sink.message;
    if (on_cycle_) on_cycle_(reading);
    for (Callback& done : batch) done(reading);
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
}

}  // namespace qel
