#include "scale_stream.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace vscale {
namespace {

constexpr std::string_view kTruncatedText = "~~~~~~~~~~=432";

}  // namespace

std::optional<Mode> ParseMode(std::string_view text) {
  if (text == "normal") return Mode::kNormal;
  if (text == "negative") return Mode::kNegative;
  if (text == "silent") return Mode::kSilent;
  if (text == "garbage") return Mode::kGarbage;
  if (text == "truncated") return Mode::kTruncated;
  if (text == "hangup") return Mode::kHangup;
  return std::nullopt;
}

std::optional<std::string> WeightText(double weight) {
  if (!std::isfinite(weight)) return std::nullopt;
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%07.3f", weight);
  if (length != 7) return std::nullopt;
  return std::string(text, 7);
}

std::string Frame(const std::string& weight_text) {
  return "=" + std::string(weight_text.rbegin(), weight_text.rend());
}

ScaleStream::ScaleStream(std::string weight_text, Mode mode)
    : weight_text_(std::move(weight_text)), mode_(mode), random_(std::random_device{}()) {}

std::optional<char> ScaleStream::Next() {
  if (pos_ < pending_.size()) return pending_[pos_++];
  pending_.clear();
  pos_ = 0;
  switch (mode_) {
    case Mode::kSilent:
      return std::nullopt;
    case Mode::kGarbage: {
      // Printable bytes, never a frame start.
      std::uniform_int_distribution<int> printable(0x20, 0x7E);
      int c;
      do c = printable(random_);
      while (c == '=');
      return static_cast<char>(c);
    }
    case Mode::kTruncated:
      if (truncated_sent_) return std::nullopt;
      truncated_sent_ = true;
      pending_ = std::string(kTruncatedText);
      break;
    case Mode::kNegative: {
      // Negate the shown weight; "-01.234" for 1.234. A weight that does not fit negated
      // is sent as it is.
      double value = std::strtod(weight_text_.c_str(), nullptr);
      const std::optional<std::string> negated = WeightText(-value);
      pending_ = Frame(negated ? *negated : weight_text_);
      break;
    }
    case Mode::kNormal:
    case Mode::kHangup:
      pending_ = Frame(weight_text_);
      if (weight_text_ != last_framed_) {
        last_framed_ = weight_text_;
        new_weight_start_ = true;
      }
      break;
  }
  return pending_[pos_++];
}

}  // namespace vscale
