#include "detection.h"

#include <algorithm>
#include <optional>

#include "messages.h"
#include "module_api.h"
#include "port_opening.h"
#include "weight_stream.h"

namespace qel {

namespace {

using Clock = DetectOptions::Clock;

constexpr std::uint32_t kReadWaitMs = 50;
constexpr std::size_t kFramesNeeded = 2;
constexpr std::size_t kHintBytes = 256;  // enough to tell the parity, little to keep

// Frames each protocol decodes from what one line delivers.
class FrameCounts {
 public:
  FrameCounts() : pending_(Protocols().size()), valid_(Protocols().size(), 0) {}

  void Feed(std::string_view bytes) {
    for (std::size_t i = 0; i < pending_.size(); ++i) {
      pending_[i] += bytes;
      Drain(*Protocols()[i], pending_[i], valid_[i]);
    }
  }

  // The protocol with enough frames while no other decoded any; nullptr otherwise.
  const Protocol* Winner() const {
    const Protocol* winner = nullptr;
    for (std::size_t i = 0; i < valid_.size(); ++i) {
      if (valid_[i] == 0) continue;
      if (winner != nullptr || valid_[i] < kFramesNeeded) return nullptr;
      winner = Protocols()[i];
    }
    for (std::size_t i = 0; i < valid_.size(); ++i) {
      if (Protocols()[i] != winner && valid_[i] != 0) return nullptr;
    }
    return winner;
  }

 private:
  static void Drain(const Protocol& protocol, std::string& pending, std::size_t& valid) {
    std::string_view rest = pending;
    for (;;) {
      std::string_view frame;
      const std::size_t used = protocol.split(rest, frame);
      if (used == 0) break;
      // A frame with no weight (a bare status) is too plain to tell protocols apart.
      const ScaleFrame::Kind kind =
          frame.empty() ? ScaleFrame::Kind::kInvalid : protocol.decode(frame).kind;
      if (kind != ScaleFrame::Kind::kInvalid && kind != ScaleFrame::Kind::kNoWeight) ++valid;
      rest.remove_prefix(used);
    }
    pending.erase(0, pending.size() - rest.size());
  }

  std::vector<std::string> pending_;
  std::vector<std::size_t> valid_;
};

void Write(SerialApi& serial, PortHandle handle, const std::string& bytes) {
  // A port that cannot write still hears a continuous scale: the failure is no verdict.
  if (bytes.empty()) return;
  serial.Write(handle, reinterpret_cast<const std::uint8_t*>(bytes.data()),
               static_cast<std::uint32_t>(bytes.size()));
}

// The one place the outcomes without a protocol are worded.
DetectResult Failure(ReadingError error, std::string message) {
  DetectResult result;
  result.error = error;
  result.message = std::move(message);
  return result;
}

DetectResult NotRecognised(std::string_view port, std::chrono::milliseconds limit) {
  const auto seconds = (limit.count() + 999) / 1000;
  return Failure(ReadingError::kNoReading, "no scale protocol recognised on " + std::string(port) +
                                               " within " + std::to_string(seconds) + " s");
}

DetectResult StoppedSearch(std::string_view port) {
  return Failure(ReadingError::kNoReading,
                 "the protocol search on " + std::string(port) + " was stopped");
}

// Moves the 7-bit line with `parity` at `baud` to the front of `queue`.
void TryParityNext(std::vector<LineFormat>& queue, std::uint32_t baud, char parity) {
  LineFormat line;
  line.baud = baud;
  line.data_bits = 7;
  line.parity = parity;
  queue.erase(std::remove(queue.begin(), queue.end(), line), queue.end());
  queue.insert(queue.begin(), line);
}

}  // namespace

const std::vector<LineFormat>& DetectionLines() {
  static const std::vector<LineFormat> lines = [] {
    const struct {
      std::uint32_t baud;
      std::uint8_t data_bits;
      char parity;
    } kOrder[] = {{9600, 8, 'N'}, {9600, 7, 'E'},  {2400, 7, 'E'}, {4800, 8, 'N'},
                  {4800, 7, 'E'}, {2400, 8, 'N'},  {9600, 7, 'O'}, {4800, 7, 'O'},
                  {2400, 7, 'O'}, {19200, 8, 'N'}, {19200, 7, 'E'}};
    std::vector<LineFormat> list;
    for (const auto& entry : kOrder) {
      LineFormat line;
      line.baud = entry.baud;
      line.data_bits = entry.data_bits;
      line.parity = entry.parity;
      list.push_back(line);
    }
    return list;
  }();
  return lines;
}

std::vector<LineFormat> DetectionLinesFor(std::optional<std::uint32_t> baud,
                                          const std::optional<LineFormat>& framing) {
  const auto framed_as = [&framing](const LineFormat& line) {
    return !framing || (line.data_bits == framing->data_bits && line.parity == framing->parity &&
                        line.stop_bits == framing->stop_bits);
  };
  std::vector<LineFormat> lines;
  for (const LineFormat& line : DetectionLines()) {
    if ((!baud || line.baud == *baud) && framed_as(line)) lines.push_back(line);
  }
  if (!lines.empty()) return lines;
  // A speed or framing none of the usual lines has: tried with each usual other half.
  for (const LineFormat& usual : DetectionLines()) {
    LineFormat line = usual;
    if (baud) line.baud = *baud;
    if (framing) {
      line.data_bits = framing->data_bits;
      line.parity = framing->parity;
      line.stop_bits = framing->stop_bits;
    }
    if (std::find(lines.begin(), lines.end(), line) == lines.end()) lines.push_back(line);
  }
  return lines;
}

std::string DetectionProbe() {
  std::string probe;
  for (const Protocol* protocol : Protocols()) {
    // A request already in the probe reaches its scale as it is ("W" CR within "W" CR LF).
    if (!protocol->polled() || probe.find(protocol->request) != std::string::npos) continue;
    probe += protocol->request;
    const std::string_view request = protocol->request;
    if (request.size() < 2 || request.substr(request.size() - 2) != "\r\n") probe += "\r\n";
  }
  return probe;
}

char ParityHint(std::string_view received) {
  constexpr std::size_t kMinBytes = 8;
  std::size_t even = 0;
  bool high = false;
  for (const char c : received) {
    const auto byte = static_cast<unsigned char>(c);
    high = high || (byte & 0x80) != 0;
    unsigned bits = 0;
    for (unsigned v = byte; v != 0; v >>= 1) bits += v & 1u;
    if (bits % 2 == 0) ++even;
  }
  // Clean 7-bit bytes are as likely 8N1 text: only a set bit 7 shows a parity bit.
  if (received.size() < kMinBytes || !high) return 'N';
  if (even == received.size()) return 'E';
  if (even == 0) return 'O';
  return 'N';
}

// Listening at one line: the probe goes out at the start and halfway, so a polled scale
// answers twice.
struct DetectionSearch::Listening {
  std::string probe = DetectionProbe();
  Clock::time_point again;
  Clock::time_point end;
  bool probed_again = false;
  FrameCounts counts;
  std::string received;  // the first bytes, for the parity hint
};

DetectionSearch::DetectionSearch(std::string_view port, DetectOptions options)
    : port_(port), options_(std::move(options)) {
  if (options_.lines.empty()) options_.lines = DetectionLines();
  deadline_ = Now() + options_.limit;
}

DetectionSearch::~DetectionSearch() = default;

DetectionSearch::Clock::time_point DetectionSearch::Now() const {
  return options_.now ? options_.now() : Clock::now();
}

bool DetectionSearch::Stopped() const { return options_.stopped && options_.stopped(); }

void DetectionSearch::Finish(DetectResult result) {
  result_ = std::move(result);
  over_ = true;
  listening_.reset();
  line_.reset();
}

std::optional<LineFormat> DetectionSearch::NextLine() {
  if (line_ && !over_) EndLine();
  if (over_) return std::nullopt;
  if (Stopped()) return Finish(StoppedSearch(port_)), std::nullopt;
  if (Now() >= deadline_) return Finish(NotRecognised(port_, options_.limit)), std::nullopt;
  if (queue_.empty()) {
    // A port that took no line at all will not take one later.
    if (refused_ && !heard_this_round_) return Finish(*refused_), std::nullopt;
    // A scale switched on late is found on a later round.
    queue_ = options_.lines;
    heard_this_round_ = false;
  }
  line_ = queue_.front();
  queue_.erase(queue_.begin());
  return line_;
}

void DetectionSearch::OpenFailed(ReadingError error, std::string message) {
  // An absent port ends the search; a refused line is kept in case every line is.
  if (error == ReadingError::kPortUnavailable) return Finish(Failure(error, std::move(message)));
  refused_ = Failure(error, std::move(message));
  line_.reset();
}

std::string DetectionSearch::Opened() {
  if (over_ || !line_) return {};
  heard_this_round_ = true;
  listening_ = std::make_unique<Listening>();
  const Clock::time_point start = Now();
  listening_->end = std::min(deadline_, start + options_.listen);
  listening_->again = start + options_.listen / 2;
  return listening_->probe;
}

std::string DetectionSearch::Heard(std::string_view bytes) {
  if (!listening_) return {};
  if (Stopped()) return Finish(StoppedSearch(port_)), std::string();
  Listening& listening = *listening_;
  listening.received +=
      bytes.substr(0, kHintBytes - std::min(kHintBytes, listening.received.size()));
  listening.counts.Feed(bytes);
  if (const Protocol* protocol = listening.counts.Winner()) {
    // The scale's speed and framing with the protocol's own modem lines.
    DetectResult found;
    found.protocol = protocol;
    found.line = protocol->line;
    found.line.baud = line_->baud;
    found.line.data_bits = line_->data_bits;
    found.line.parity = line_->parity;
    found.line.stop_bits = line_->stop_bits;
    found.error = ReadingError::kNone;
    Finish(std::move(found));
    return {};
  }
  if (listening.probed_again || Now() < listening.again) return {};
  listening.probed_again = true;
  return listening.probe;
}

void DetectionSearch::ReadFailed(std::string message) {
  Finish(Failure(ReadingError::kReadFailed, std::move(message)));
}

bool DetectionSearch::LineOver() {
  if (over_ || !listening_) return true;
  if (Stopped()) return Finish(StoppedSearch(port_)), true;
  if (Now() < listening_->end) return false;
  EndLine();
  return true;
}

void DetectionSearch::EndLine() {
  if (listening_ && line_ && line_->data_bits == 8) {
    const char parity = ParityHint(listening_->received);
    if (parity != 'N') TryParityNext(queue_, line_->baud, parity);
  }
  listening_.reset();
  line_.reset();
}

DetectResult DetectProtocol(SerialApi& serial, std::string_view port,
                            const DetectOptions& options) {
  DetectionSearch search(port, options);
  std::uint8_t buffer[kRxBufferSize];
  while (const std::optional<LineFormat> line = search.NextLine()) {
    PortSetup setup;
    setup.line = ModuleAPI::LineSettingsFor(*line);
    setup.timeouts = [] { return StreamTimeouts(kReadWaitMs); };
    const PortOpening opening = OpenSerialPort(serial, port, setup);
    if (!opening.ok()) {
      search.OpenFailed(opening.error, opening.message);
      continue;
    }
    Write(serial, opening.handle, search.Opened());
    while (!search.LineOver()) {
      const ReadOutcome read = serial.Read(opening.handle, buffer, kReadSize);
      if (!read.status.ok) {
        search.ReadFailed(messages::ReadFailed(read.status.code, ""));
        break;
      }
      const std::string_view bytes(reinterpret_cast<const char*>(buffer),
                                   std::min<std::uint32_t>(read.bytes_read, kReadSize));
      Write(serial, opening.handle, search.Heard(bytes));
    }
    serial.Close(opening.handle);
  }
  return search.Result();
}

}  // namespace qel
