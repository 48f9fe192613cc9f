#include "scale_state.h"

#include <cmath>
#include <cstdio>

namespace vscale {

std::string NumberText(double value, int decimals) {
  char text[64];
  std::snprintf(text, sizeof text, "%.*f", decimals, value);
  std::string shown(text);
  // "-0.000" is a zero, which shows without a sign.
  if (shown.front() == '-' && shown.find_first_not_of("-0.") == std::string::npos) {
    shown.erase(0, 1);
  }
  return shown;
}

bool ShowsZero(double value, int decimals) {
  return NumberText(std::fabs(value), decimals).find_first_not_of("0.") == std::string::npos;
}

bool ShowsNegative(double value, int decimals) { return NumberText(value, decimals)[0] == '-'; }

CommandOutcome CarryOut(qel::ScaleCommand command, ScaleState& state) {
  if (state.commands == CommandPolicy::kIgnore) return CommandOutcome::kIgnored;
  if (state.commands == CommandPolicy::kRefuse || state.condition != Condition::kNormal ||
      state.motion) {
    return CommandOutcome::kRefused;
  }
  if (command == qel::ScaleCommand::kZero) {
    state.weight = 0;
    state.tare = 0;
  } else {
    state.tare = state.Gross();
  }
  return CommandOutcome::kDone;
}

}  // namespace vscale
