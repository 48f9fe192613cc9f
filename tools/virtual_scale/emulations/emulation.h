// One emulation per protocol: the line such a scale speaks and the bytes it sends for the
// scale's state. Continuous scales send frames back to back; polled ones answer the requests
// that reach them. Each emulation is one file here and one row of Emulations().
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"
#include "scale_state.h"

namespace vscale {

struct Emulation {
  std::string_view id;   // as the driver's "protocol=ID"
  qel::LineFormat line;  // the line such a scale speaks unless told otherwise
  // The characters the display has for a weight, for messages, and whether `value` at
  // `decimals` fits there.
  std::size_t width = 0;
  bool (*fits)(double value, int decimals) = nullptr;
  // Continuous scales: the frame to send next; "" while the scale sends nothing.
  std::string (*frame)(const ScaleState& state) = nullptr;
  // Polled scales: answers the complete requests at the front of `input` and removes them,
  // with any byte that starts no request; a request still arriving stays.
  std::string (*answer)(std::string& input, ScaleState& state) = nullptr;

  bool polled() const { return answer != nullptr; }
};

// Every emulation, the driver's own protocol first.
const std::vector<const Emulation*>& Emulations();
// Nothing when no emulation has that id. "replay:FILE" gives ReplayEmulation(FILE).
const Emulation* FindEmulation(std::string_view id);
// The emulation of a corpus file's protocol that sends the file's records in turn (see
// replay.cpp); nothing when the file does not load or names no emulated protocol.
const Emulation* ReplayEmulation(std::string_view path);

extern const Emulation kQelEmulation;
extern const Emulation kToledo8217Emulation;
extern const Emulation kToledoContinuousEmulation;
extern const Emulation kMtSicsEmulation;
extern const Emulation kAdEmulation;
extern const Emulation kCasEmulation;
extern const Emulation kSmaEmulation;
extern const Emulation kNciEmulation;
extern const Emulation kCasEcrEmulation;
extern const Emulation kMagellanEmulation;

// The driver's own frames: the 7-character text of a weight ("001.234", "-01.234"), no value
// when it does not fit or is not finite, and the frame for it ("=432.100").
std::optional<std::string> QelWeightText(double weight);
std::string QelFrame(const std::string& weight_text);

// Shared pieces of the frames.
inline constexpr char kStx = '\x02';
// `text` right-aligned in `width` characters, filled with `fill`; longer text stays whole.
std::string Aligned(const std::string& text, std::size_t width, char fill);
// The magnitude of `value` at `decimals` takes at most `width` characters ("1.234": 5).
bool MagnitudeFits(double value, int decimals, std::size_t width);
// The header of the comma-separated frames: "ST" steady, "US" moving, "OL" out of range.
std::string_view StabilityHeader(const ScaleState& state);
// Their weight: the sign and the weight zero-filled to `width` ("+0001.234"); all nines with
// the sign of the range out of range.
std::string SignedWeight(const ScaleState& state, std::size_t width);
// Removes the first `count` bytes of `input`; keeps a request that never ends from growing.
void Consume(std::string& input, std::size_t count);
// A line an input of this length holds without its end is no request.
inline constexpr std::size_t kLongestRequest = 64;

}  // namespace vscale
