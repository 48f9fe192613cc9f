// The driver's own scale: "=" and the weight's 7-character text reversed, continuously, at
// 9600 8N1. No unit, no motion flag, no commands.
#include <cmath>
#include <cstdio>

#include "emulation.h"

namespace vscale {

std::optional<std::string> QelWeightText(double weight) {
  if (!std::isfinite(weight)) return std::nullopt;
  char text[32];
  const int length = std::snprintf(text, sizeof text, "%07.3f", weight);
  if (length != 7) return std::nullopt;
  return std::string(text, 7);
}

std::string QelFrame(const std::string& weight_text) {
  return "=" + std::string(weight_text.rbegin(), weight_text.rend());
}

namespace {

bool Fits(double value, int) { return QelWeightText(value).has_value(); }

// The frames have nothing to say about a condition, so the scale is quiet meanwhile. A
// weight that does not fit once negated or net is sent as it is.
std::string Frame(const ScaleState& state) {
  if (state.condition != Condition::kNormal) return {};
  std::optional<std::string> text = QelWeightText(state.Shown());
  if (!text) text = QelWeightText(state.weight);
  return text ? QelFrame(*text) : std::string();
}

}  // namespace

const Emulation kQelEmulation{"qel", {9600, 8, 'N', 1}, 7, Fits, Frame, nullptr};

}  // namespace vscale
