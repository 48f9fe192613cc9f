// "protocol=auto": finds which protocol a scale speaks, and at which line, by listening to
// it at the usual lines in turn while asking the polled kinds for a weight. Portable: it
// reaches the port only through SerialApi.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "reading.h"
#include "services.h"

namespace qel {

struct DetectResult {
  const Protocol* protocol = nullptr;  // nullptr when none was recognised
  LineFormat line;
  ReadingError error = ReadingError::kNoReading;  // kNone with a protocol
  std::string message;                            // for the user, empty on success

  bool ok() const { return protocol != nullptr; }
};

struct DetectOptions {
  using Clock = std::chrono::steady_clock;
  std::chrono::milliseconds limit{8000};   // the whole search
  std::chrono::milliseconds listen{300};   // at each line
  std::function<bool()> stopped;           // checked between reads; empty: never
  std::function<Clock::time_point()> now;  // empty: the steady clock
  std::vector<LineFormat> lines;           // the lines tried; empty: DetectionLines()
};

// The lines tried, in order: the most common first.
const std::vector<LineFormat>& DetectionLines();

// The lines tried for a port whose options name a speed, a framing or both: the usual lines
// that agree with them or, where none does, the named one at each usual speed or framing.
std::vector<LineFormat> DetectionLinesFor(std::optional<std::uint32_t> baud,
                                          const std::optional<LineFormat>& framing);

// What is written to ask every polled protocol for a weight at once: each request, and a
// CR LF after each that lacks one so a scale that reads lines sees the others' requests as
// one bad line, not as a prefix of its own; a request the probe already holds is not added
// again. Never a zero, tare or print command.
std::string DetectionProbe();

// The parity of 7-bit data that was read as 8N1, whose parity bit then shows in bit 7:
// 'E' or 'O' when every byte agrees, 'N' when the bytes cannot tell.
char ParityHint(std::string_view received);

// The search as steps, for a transport that reads without blocking (a browser's serial
// port) as well as for DetectProtocol: the caller opens the port at NextLine(), says how that
// went, writes what the search hands back, feeds what it reads (nothing at all when a short
// wait gave nothing, so time moves on) and closes the port once the line is over.
class DetectionSearch {
 public:
  using Clock = DetectOptions::Clock;

  DetectionSearch(std::string_view port, DetectOptions options);
  ~DetectionSearch();
  DetectionSearch(const DetectionSearch&) = delete;
  DetectionSearch& operator=(const DetectionSearch&) = delete;

  // The line to open next; nothing once the search is over (see Result()).
  std::optional<LineFormat> NextLine();
  // The port did not open at that line: `error` kPortUnavailable ends the search, kSetupFailed
  // (the line refused) moves on to the next line.
  void OpenFailed(ReadingError error, std::string message);
  // The port is open at the line: returns the bytes to write now.
  std::string Opened();
  // What was read (possibly nothing): returns the bytes to write now, if any.
  std::string Heard(std::string_view bytes);
  // Reading failed: the search is over.
  void ReadFailed(std::string message);
  // Listening at this line is over: close the port, then NextLine().
  bool LineOver();
  // The outcome; only meaningful once NextLine() gave nothing.
  const DetectResult& Result() const { return result_; }

 private:
  struct Listening;
  Clock::time_point Now() const;
  bool Stopped() const;
  void EndLine();
  void Finish(DetectResult result);

  std::string port_;
  DetectOptions options_;
  Clock::time_point deadline_;
  std::vector<LineFormat> queue_;
  bool heard_this_round_ = false;
  std::optional<DetectResult> refused_;
  std::optional<LineFormat> line_;  // the line being tried
  std::unique_ptr<Listening> listening_;
  bool over_ = false;
  DetectResult result_;
};

// Opens `port` at each line in turn until one protocol alone decodes two frames there.
DetectResult DetectProtocol(SerialApi& serial, std::string_view port,
                            const DetectOptions& options = {});

}  // namespace qel
