#include "weight_stream.h"

#include <algorithm>
#include <limits>
#include <utility>

#include "messages.h"
#include "module_api.h"
#include "port_opening.h"
#include "weight_decoding.h"

namespace qel {

void FrameSplitter::Feed(const std::uint8_t* data, std::size_t size,
                         std::vector<std::string>& frames) {
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '=') {
      // A frame still open here was cut off: it is no reading.
      partial_.assign(1, '=');
      continue;
    }
    if (partial_.empty()) continue;  // bytes outside a frame
    partial_ += c;
    if (partial_.size() == 1 + kWeightFieldLength) {
      frames.push_back(partial_);
      partial_.clear();
    }
  }
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
    : services_(services),
      port_(std::move(port)),
      options_(options),
      listener_(std::move(listener)) {}

bool StreamEngine::Stopped() {
  std::lock_guard<std::mutex> lock(mutex_);
  return stop_;
}

void StreamEngine::Stop() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    stop_ = true;
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

void StreamEngine::Publish(Reading reading) {
  reading.port = port_;
  const bool changed = !last_ || !last_->SameStateAs(reading);
  last_ = reading;
  if (listener_) listener_(reading, changed);
}

void StreamEngine::Fail(ReadingError error, const std::string& message) {
  Reading reading;
  reading.ok = false;
  reading.stable = false;
  reading.error = error;
  reading.message = message;
  reading.at = std::chrono::system_clock::now();
  // One message per episode: a port that stays absent is not reported on every retry.
  const bool repeated =
      last_ && !last_->ok && last_->error == error && last_->message == reading.message;
  if (!repeated) messages::Show(services_.messages, error, *reading.message);
  Publish(std::move(reading));
}

void StreamEngine::Run() {
  format_ = services_.locale.UserNumberFormat();
  std::chrono::milliseconds backoff = options_.backoff_min;
  PortSetup setup;
  setup.line = ModuleAPI::MakeLineSettings(ModuleAPI::kBaudRate);
  setup.timeouts = [this] { return StreamTimeouts(options_.read_wait_ms); };
  setup.on_failure = [this](const PortOpening& failed) { Fail(failed.error, failed.message); };
  while (!Stopped()) {
    const PortOpening opening = OpenSerialPort(services_.serial, port_, setup);
    if (opening.handle != kInvalidPortHandle) {
      std::lock_guard<std::mutex> lock(mutex_);
      ++counters_.opens;
    }
    if (opening.ok()) {
      backoff = options_.backoff_min;
      ReadLoop(opening.handle);
      services_.serial.Close(opening.handle);
      if (!Wait(backoff)) break;
      continue;
    }
    if (!Wait(backoff)) break;
    backoff = std::min(backoff * 2, options_.backoff_max);
  }
}

void StreamEngine::ReadLoop(PortHandle handle) {
  using Clock = std::chrono::steady_clock;
  FrameSplitter splitter;
  StabilityTracker stability(options_.stable_for);
  std::vector<std::string> frames;
  std::uint8_t buffer[kRxBufferSize];
  Clock::time_point last_valid = Clock::now();

  while (!Stopped()) {
    const ReadOutcome read = services_.serial.Read(handle, buffer, kReadSize);
    if (!read.status.ok) {
      // The device vanished (or failed): the frame in progress is lost with it.
      Fail(ReadingError::kReadFailed, messages::ReadFailed(read.status.code, ""));
      return;
    }
    const Clock::time_point now = Clock::now();
    frames.clear();
    splitter.Feed(buffer, std::min<std::uint32_t>(read.bytes_read, kReadSize), frames);
    for (const std::string& frame : frames) {
      const DecodedFrame decoded = DecodeFrame(frame, format_);
      stability.OnFrame(decoded.value, now);
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++counters_.frames;
        if (decoded.ok) ++counters_.readings;
      }
      if (decoded.ok) last_valid = now;
      Reading reading;
      reading.ok = decoded.ok;
      reading.value = decoded.value;
      reading.text = decoded.text;
      reading.stable = decoded.ok && stability.IsStable(now);
      reading.error = decoded.ok ? ReadingError::kNone : ReadingError::kNoReading;
      reading.at = std::chrono::system_clock::now();
      Publish(std::move(reading));
    }
    if (frames.empty() && now - last_valid > options_.no_frame_after &&
        (!last_ || last_->ok || last_->error != ReadingError::kNoReading)) {
      // The port is open but silent, or sends nothing that reads as a weight.
      Reading reading;
      reading.ok = false;
      reading.stable = false;
      reading.error = ReadingError::kNoReading;
      reading.at = std::chrono::system_clock::now();
      stability.Reset();
      Publish(std::move(reading));
    }
  }
}

}  // namespace qel
