// "protocol=auto": finds which protocol a scale speaks, and at which line, by listening to
// it at the usual lines in turn while asking the polled kinds for a weight. Portable: it
// reaches the port only through SerialApi.
#pragma once

#include <chrono>
#include <functional>
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
};

// The lines tried, in order: the most common first.
const std::vector<LineFormat>& DetectionLines();

// What is written to ask every polled protocol for a weight at once: each request, and a
// CR LF after each that lacks one so a scale that reads lines sees the others' requests as
// one bad line, not as a prefix of its own; a request the probe already holds is not added
// again. Never a zero, tare or print command.
std::string DetectionProbe();

// The parity of 7-bit data that was read as 8N1, whose parity bit then shows in bit 7:
// 'E' or 'O' when every byte agrees, 'N' when the bytes cannot tell.
char ParityHint(std::string_view received);

// Opens `port` at each line in turn until one protocol alone decodes two frames there.
DetectResult DetectProtocol(SerialApi& serial, std::string_view port,
                            const DetectOptions& options = {});

}  // namespace qel
