#include <cmath>

#include "emulation.h"

namespace vscale {

const std::vector<const Emulation*>& Emulations() {
  static const std::vector<const Emulation*> all = {
      &kQelEmulation,      &kToledo8217Emulation, &kToledoContinuousEmulation,
      &kMtSicsEmulation,   &kAdEmulation,         &kCasEmulation,
      &kSmaEmulation,      &kNciEmulation,        &kCasEcrEmulation,
      &kMagellanEmulation,
  };
  return all;
}

const Emulation* FindEmulation(std::string_view id) {
  constexpr std::string_view kReplay = "replay:";
  if (id.substr(0, kReplay.size()) == kReplay) return ReplayEmulation(id.substr(kReplay.size()));
  for (const Emulation* emulation : Emulations()) {
    if (emulation->id == id) return emulation;
  }
  return nullptr;
}

std::string Aligned(const std::string& text, std::size_t width, char fill) {
  if (text.size() >= width) return text;
  return std::string(width - text.size(), fill) + text;
}

bool MagnitudeFits(double value, int decimals, std::size_t width) {
  return std::isfinite(value) && NumberText(std::fabs(value), decimals).size() <= width;
}

std::string_view StabilityHeader(const ScaleState& state) {
  if (state.condition == Condition::kOverload || state.condition == Condition::kUnderZero) {
    return "OL";
  }
  return state.motion ? "US" : "ST";
}

std::string SignedWeight(const ScaleState& state, std::size_t width) {
  if (state.condition == Condition::kOverload) return "+" + std::string(width, '9');
  if (state.condition == Condition::kUnderZero) return "-" + std::string(width, '9');
  std::string text = NumberText(state.Shown(), state.decimals);
  const char sign = text[0] == '-' ? '-' : '+';
  if (sign == '-') text.erase(0, 1);
  return sign + Aligned(text, width, '0');
}

void Consume(std::string& input, std::size_t count) {
  input.erase(0, count);
  if (input.size() > kLongestRequest) input.erase(0, input.size() - 1);
}

}  // namespace vscale
