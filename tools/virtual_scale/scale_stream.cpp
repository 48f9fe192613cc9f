#include "scale_stream.h"

namespace vscale {
namespace {

constexpr std::string_view kTruncatedLead = "~~~~~~~~~~";

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

ScaleStream::ScaleStream(const Emulation& emulation, ScaleState state, Mode mode)
    : emulation_(&emulation), state_(state), mode_(mode), random_(std::random_device{}()) {
  state_.negated = mode == Mode::kNegative;
}

void ScaleStream::SetMode(Mode mode) {
  mode_ = mode;
  state_.negated = mode == Mode::kNegative;
}

void ScaleStream::OnClientOpen() {
  truncated_sent_ = false;
  input_.clear();
  answers_.clear();
}

void ScaleStream::Receive(std::string_view bytes) {
  if (!emulation_->polled()) return;  // a continuous scale has no receiver to speak of
  input_.append(bytes);
  answers_ += emulation_->answer(input_, state_);
}

std::string ScaleStream::WeightLabel() const {
  const std::optional<std::string> text = QelWeightText(state_.weight);
  return text ? *text : NumberText(state_.weight, state_.decimals);
}

std::optional<char> ScaleStream::Next() {
  if (pos_ < pending_.size()) return pending_[pos_++];
  pending_.clear();
  pos_ = 0;
  if (mode_ == Mode::kGarbage && !emulation_->polled()) {
    // Printable bytes, never a frame start nor a line end.
    std::uniform_int_distribution<int> printable(0x20, 0x7E);
    int c;
    do c = printable(random_);
    while (c == '=');
    return static_cast<char>(c);
  }
  pending_ = Shape(NextFrame());
  if (pending_.empty()) return std::nullopt;
  if ((mode_ == Mode::kNormal || mode_ == Mode::kHangup) && WeightLabel() != last_framed_) {
    last_framed_ = WeightLabel();
    new_weight_start_ = true;
  }
  return pending_[pos_++];
}

std::string ScaleStream::NextFrame() {
  if (emulation_->polled()) return std::exchange(answers_, std::string());
  return emulation_->frame(state_);
}

// The test modes: nothing at all, noise in place of each answer, or one frame cut short.
std::string ScaleStream::Shape(std::string frame) {
  if (frame.empty()) return frame;
  switch (mode_) {
    case Mode::kSilent:
      return {};
    case Mode::kGarbage:
      for (char& c : frame)
        c = static_cast<char>(std::uniform_int_distribution<int>('0', '9')(random_));
      return frame;
    case Mode::kTruncated:
      if (truncated_sent_) return {};
      truncated_sent_ = true;
      return std::string(kTruncatedLead) + frame.substr(0, frame.size() / 2);
    case Mode::kNormal:
    case Mode::kNegative:
    case Mode::kHangup:
      break;
  }
  return frame;
}

}  // namespace vscale
