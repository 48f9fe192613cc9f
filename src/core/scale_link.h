// One open port spoken to in a scale protocol: the bytes read are cut into the protocol's
// frames, requests and commands are written, and a frame becomes a reading. The stream
// engine and the on-demand reader share it, so a protocol reads the same either way.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "link_state.h"
#include "protocol.h"
#include "reading.h"
#include "services.h"

namespace qel {

// How a zero or tare ended.
enum class CommandResult : std::uint8_t {
  kAcknowledged,     // the scale carried it out
  kNotSupported,     // the port's protocol has no such command
  kRefused,          // the scale refused it (or was busy)
  kNoAnswer,         // no answer in time, or the port is not open
  kTooManyCommands,  // the port already has its most commands waiting
};

// "acknowledged", "not-supported", "command-refused", "no-answer", "too-many-commands".
std::string_view CommandResultName(CommandResult result);

class ScaleLink {
 public:
  ScaleLink(SerialApi& serial, PortHandle handle, const Protocol& protocol)
      : serial_(serial), handle_(handle), protocol_(protocol) {}

  // One read under the port's timeouts; the frames it completed are appended to `frames`.
  ReadOutcome ReadFrames(std::vector<std::string>& frames);
  SysStatus Send(std::string_view bytes);
  // Bytes of a frame in progress are dropped (the device vanished, or a new exchange starts).
  void Reset() { pending_.clear(); }
  const Protocol& protocol() const { return protocol_; }

 private:
  SerialApi& serial_;
  PortHandle handle_;
  const Protocol& protocol_;
  std::string pending_;
};

// The reading a decoded frame gives (kWeight, kMotion and the scale's errors), with `text` in
// `format`; `stable` is the scale's own flag where it has one. `tag` adds the protocol's id,
// the unit, net and tare (ports named with options). Frames that are command answers give a
// reading without a weight.
Reading ReadingFromFrame(const ScaleFrame& frame, const Protocol& protocol, bool tag,
                         const NumberFormat& format);

// The driver's weight text for a normalised value: `format`'s decimal separator and
// leading-zero rule.
std::string LocaleText(std::string_view value, const NumberFormat& format);

}  // namespace qel
