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

Clock::time_point Now(const DetectOptions& options) {
  return options.now ? options.now() : Clock::now();
}

bool Stopped(const DetectOptions& options) { return options.stopped && options.stopped(); }

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

// What listening at one line gave.
struct Hearing {
  const Protocol* protocol = nullptr;
  std::string received;  // the first bytes, for the parity hint
  SysStatus read;
  bool stopped = false;
};

void Probe(SerialApi& serial, PortHandle handle, const std::string& probe) {
  // A port that cannot write still hears a continuous scale: the failure is no verdict.
  serial.Write(handle, reinterpret_cast<const std::uint8_t*>(probe.data()),
               static_cast<std::uint32_t>(probe.size()));
}

// Listens until one protocol wins or the time at this line is over. The probe goes out at
// the start and halfway, so a polled scale answers twice.
Hearing Listen(SerialApi& serial, PortHandle handle, const DetectOptions& options,
               Clock::time_point deadline) {
  const std::string probe = DetectionProbe();
  const Clock::time_point start = Now(options);
  const Clock::time_point end = std::min(deadline, start + options.listen);
  const Clock::time_point again = start + options.listen / 2;
  bool probed_again = false;
  Probe(serial, handle, probe);
  FrameCounts counts;
  Hearing hearing;
  std::uint8_t buffer[kRxBufferSize];
  while (Now(options) < end) {
    if (Stopped(options)) {
      hearing.stopped = true;
      return hearing;
    }
    if (!probed_again && Now(options) >= again) {
      Probe(serial, handle, probe);
      probed_again = true;
    }
    const ReadOutcome read = serial.Read(handle, buffer, kReadSize);
    hearing.read = read.status;
    if (!read.status.ok) return hearing;
    const std::string_view bytes(reinterpret_cast<const char*>(buffer),
                                 std::min<std::uint32_t>(read.bytes_read, kReadSize));
    hearing.received += bytes.substr(0, kHintBytes - std::min(kHintBytes, hearing.received.size()));
    counts.Feed(bytes);
    hearing.protocol = counts.Winner();
    if (hearing.protocol != nullptr) return hearing;
  }
  return hearing;
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

namespace {

// How one line went: `done` when the search is over with `result`; `listened` when the port
// took the line and was heard.
struct Attempt {
  bool done = false;
  bool listened = false;
  DetectResult result;
  std::string received;
};

Attempt TryLine(SerialApi& serial, std::string_view port, const LineFormat& line,
                const DetectOptions& options, Clock::time_point deadline) {
  PortSetup setup;
  setup.line = ModuleAPI::LineSettingsFor(line);
  setup.timeouts = [] { return StreamTimeouts(kReadWaitMs); };
  const PortOpening opening = OpenSerialPort(serial, port, setup);
  Attempt attempt;
  if (!opening.ok()) {
    // An absent port ends the search; a refused line is kept in case every line is.
    attempt.done = opening.error == ReadingError::kPortUnavailable;
    attempt.result = Failure(opening.error, opening.message);
    return attempt;
  }
  const Hearing hearing = Listen(serial, opening.handle, options, deadline);
  serial.Close(opening.handle);
  attempt.listened = true;
  attempt.received = hearing.received;
  attempt.done = true;
  if (hearing.stopped) {
    attempt.result = StoppedSearch(port);
  } else if (!hearing.read.ok) {
    attempt.result =
        Failure(ReadingError::kReadFailed, messages::ReadFailed(hearing.read.code, ""));
  } else if (hearing.protocol != nullptr) {
    // The scale's speed and framing with the protocol's own modem lines.
    attempt.result.protocol = hearing.protocol;
    attempt.result.line = hearing.protocol->line;
    attempt.result.line.baud = line.baud;
    attempt.result.line.data_bits = line.data_bits;
    attempt.result.line.parity = line.parity;
    attempt.result.line.stop_bits = line.stop_bits;
    attempt.result.error = ReadingError::kNone;
  } else {
    attempt.done = false;
  }
  return attempt;
}

}  // namespace

DetectResult DetectProtocol(SerialApi& serial, std::string_view port,
                            const DetectOptions& options) {
  const Clock::time_point deadline = Now(options) + options.limit;
  std::vector<LineFormat> queue;
  bool heard_this_round = false;
  std::optional<DetectResult> refused;
  for (;;) {
    if (Stopped(options)) return StoppedSearch(port);
    if (Now(options) >= deadline) return NotRecognised(port, options.limit);
    if (queue.empty()) {
      // A port that took no line at all will not take one later.
      if (refused && !heard_this_round) return *refused;
      // A scale switched on late is found on a later round.
      queue = DetectionLines();
      heard_this_round = false;
    }
    const LineFormat line = queue.front();
    queue.erase(queue.begin());
    Attempt attempt = TryLine(serial, port, line, options, deadline);
    if (attempt.done) return attempt.result;
    heard_this_round = heard_this_round || attempt.listened;
    if (!attempt.listened) refused = attempt.result;
    const char parity = line.data_bits == 8 ? ParityHint(attempt.received) : 'N';
    if (parity != 'N') TryParityNext(queue, line.baud, parity);
  }
}

}  // namespace qel
