// What the scale puts on the line, byte by byte, independent of any device: the frames of
// its protocol for its state, shaped by the test mode.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

#include "emulations/emulation.h"
#include "scale_state.h"

namespace vscale {

enum class Mode { kNormal, kNegative, kSilent, kGarbage, kTruncated, kHangup };

std::optional<Mode> ParseMode(std::string_view text);

class ScaleStream {
 public:
  ScaleStream(const Emulation& emulation, ScaleState state, Mode mode);

  const Emulation& emulation() const { return *emulation_; }
  ScaleState& state() { return state_; }
  void SetMode(Mode mode);
  Mode mode() const { return mode_; }

  // A client has just opened the port.
  void OnClientOpen();

  // Bytes that reached the scale from the client: the requests a polled scale answers.
  void Receive(std::string_view bytes);

  // The next byte on the line, or no value when the scale sends nothing now.
  std::optional<char> Next();

  // True once after Next() returned the first byte of the first frame showing a weight that
  // differs from the frame before (the very first frame counts).
  bool TakeNewWeightStart() { return std::exchange(new_weight_start_, false); }
  // The weight that frame shows, as the timestamps file names it ("001.234").
  std::string WeightLabel() const;

 private:
  std::string NextFrame();
  std::string Shape(std::string frame);

  const Emulation* emulation_;
  ScaleState state_;
  Mode mode_;
  std::string input_;    // request bytes not yet answered
  std::string answers_;  // answers not yet begun
  std::string pending_;  // rest of the frame being sent; a frame is never cut by a change
  std::size_t pos_ = 0;
  bool truncated_sent_ = false;
  std::optional<std::string> last_framed_;  // weight label of the last normal frame begun
  bool new_weight_start_ = false;
  std::mt19937 random_;
};

}  // namespace vscale
