// A checkout scanner-scale on a single cable at 9600 7E1: "S14" CR is answered "S14" and a
// status digit, with the weight after "4" (stable, not zero): four digits of hundredths of a
// pound, or five of thousandths of a kilogram, no point. "S11" CR is answered "S11" and the
// weight when it is stable and not zero, else not at all. Other lines get no answer.
#include <cmath>

#include "emulation.h"

namespace vscale {
namespace {

// The weight's digits in the unit's steps; "" when the scale cannot say it that way.
std::string Digits(const ScaleState& state) {
  const bool pounds = state.unit == qel::WeightUnit::kLb;
  if (!pounds && state.unit != qel::WeightUnit::kKg) return {};
  const double steps = std::round(state.Shown() * (pounds ? 100.0 : 1000.0));
  const std::size_t width = pounds ? 4 : 5;
  if (steps < 0 || steps >= std::pow(10.0, static_cast<double>(width))) return {};
  return Aligned(std::to_string(static_cast<long long>(steps)), width, '0');
}

char Status(const ScaleState& state) {
  switch (state.condition) {
    case Condition::kOverload:
      return '2';
    case Condition::kUnderZero:
      return '5';
    case Condition::kBusy:
      return '0';
    case Condition::kNormal:
      break;
  }
  if (state.motion) return '1';
  return ShowsZero(state.Shown(), state.decimals) ? '3' : '4';
}

std::string Command(std::string_view command, const ScaleState& state) {
  const char status = Status(state);
  const std::string digits = Digits(state);
  if (command == "S14") {
    return status == '4' && !digits.empty() ? "S144" + digits + "\r"
                                            : std::string("S14") + status + "\r";
  }
  if (command == "S11" && status == '4' && !digits.empty()) return "S11" + digits + "\r";
  return {};
}

std::string Answer(std::string& input, ScaleState& state) {
  std::string answers;
  for (std::size_t end = input.find('\r'); end != std::string::npos; end = input.find('\r')) {
    std::string_view command = std::string_view(input).substr(0, end);
    // Line feeds and other protocols' requests before it are no part of it.
    const std::size_t start = command.rfind('S');
    if (start != std::string_view::npos) answers += Command(command.substr(start), state);
    Consume(input, end + 1);
  }
  if (input.size() >= kLongestRequest) input.clear();
  return answers;
}

bool Fits(double value, int decimals) {
  return std::isfinite(value) && value >= 0 && value < 100 && decimals <= 3;
}

}  // namespace

const Emulation kMagellanEmulation{"magellan", {9600, 7, 'E', 1}, 6, Fits, nullptr, Answer};

}  // namespace vscale
