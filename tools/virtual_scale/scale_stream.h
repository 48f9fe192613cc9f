// What the scale puts on the line, byte by byte, independent of any device.
#pragma once

#include <cstdint>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <utility>

namespace vscale {

enum class Mode { kNormal, kNegative, kSilent, kGarbage, kTruncated, kHangup };

std::optional<Mode> ParseMode(std::string_view text);

// The 7-character text the scale shows for a weight ("001.234", "-01.234"); no value when
// the weight does not fit in 7 characters or is not finite.
std::optional<std::string> WeightText(double weight);

// "=" followed by the weight text backwards: 1.234 -> "=432.100".
std::string Frame(const std::string& weight_text);

class ScaleStream {
 public:
  explicit ScaleStream(std::string weight_text, Mode mode);

  void SetWeightText(std::string weight_text) { weight_text_ = std::move(weight_text); }
  void SetMode(Mode mode) { mode_ = mode; }
  Mode mode() const { return mode_; }
  const std::string& weight_text() const { return weight_text_; }

  // A client has just opened the port.
  void OnClientOpen() { truncated_sent_ = false; }

  // The next byte on the line, or no value when the scale sends nothing now.
  std::optional<char> Next();

  // True once after Next() returned the "=" of the first frame showing a weight text that
  // differs from the frame before (the very first frame counts).
  bool TakeNewWeightStart() { return std::exchange(new_weight_start_, false); }

 private:
  std::string weight_text_;
  Mode mode_;
  std::string pending_;  // rest of the frame being sent; a frame is never cut by a change
  std::size_t pos_ = 0;
  bool truncated_sent_ = false;
  std::string last_framed_;  // weight text of the last normal frame begun
  bool new_weight_start_ = false;
  std::mt19937 random_;
};

}  // namespace vscale
