// A polled scale at 9600 7E1 speaking NCI: "W" CR asks for the weight, "S" CR for the status,
// "Z" CR zeroes. The weight answer is LF, the display's seven characters and the unit, CR,
// then LF, three status bytes, CR, ETX; the status answer is the second part alone. Over and
// under capacity fill the display with carets and underscores, a scale that cannot weigh
// shows dashes (a zero error). Any other command is answered LF "?" CR ETX.
#include <cmath>

#include "emulation.h"

namespace vscale {
namespace {

constexpr std::size_t kWeightWidth = 7;
constexpr char kEtx = '\x03';

enum StatusBit : unsigned {
  kMotion = 0x01,         // byte 1
  kAtZero = 0x02,         // byte 1
  kUnderCapacity = 0x01,  // byte 2
  kOverCapacity = 0x02,   // byte 2
  kNet = 0x04,            // byte 3
  kAlwaysSet = 0x30,
  kMore = 0x40,
};

std::string Status(const ScaleState& state, bool at_zero) {
  unsigned first = kAlwaysSet;
  if (state.motion) first |= kMotion;
  if (at_zero) first |= kAtZero;
  unsigned second = kAlwaysSet | kMore;
  if (state.condition == Condition::kOverload) second |= kOverCapacity;
  if (state.condition == Condition::kUnderZero) second |= kUnderCapacity;
  const unsigned third = kAlwaysSet | (state.Net() ? kNet : 0u);
  std::string status = "\n";
  for (const unsigned byte : {first, second, third}) status += static_cast<char>(byte);
  return status + "\r" + kEtx;
}

bool AtZero(const ScaleState& state) {
  return state.condition == Condition::kNormal && ShowsZero(state.Gross(), state.decimals);
}

std::string Display(const ScaleState& state) {
  switch (state.condition) {
    case Condition::kOverload:
      return std::string(kWeightWidth, '^');
    case Condition::kUnderZero:
      return std::string(kWeightWidth, '_');
    case Condition::kBusy:
      return std::string(kWeightWidth, '-');
    case Condition::kNormal:
      break;
  }
  return Aligned(NumberText(state.Shown(), state.decimals), kWeightWidth, ' ');
}

std::string Weight(const ScaleState& state) {
  return "\n" + Display(state) + std::string(WeightUnitName(state.unit)) + "\r" +
         Status(state, AtZero(state));
}

std::string Zero(ScaleState& state) {
  switch (CarryOut(qel::ScaleCommand::kZero, state)) {
    case CommandOutcome::kDone:
      return Status(state, true);
    case CommandOutcome::kRefused:
      return Status(state, false);
    case CommandOutcome::kIgnored:
      break;
  }
  return {};
}

// One command: the text before its CR, line feeds before it ignored.
std::string Command(std::string_view command, ScaleState& state) {
  while (!command.empty() && command.front() == '\n') command.remove_prefix(1);
  if (command.empty()) return {};
  if (command == "W") return Weight(state);
  if (command == "S") return Status(state, AtZero(state));
  if (command == "Z") return Zero(state);
  return std::string("\n?\r") + kEtx;
}

std::string Answer(std::string& input, ScaleState& state) {
  std::string answers;
  for (std::size_t end = input.find('\r'); end != std::string::npos; end = input.find('\r')) {
    answers += Command(std::string_view(input).substr(0, end), state);
    Consume(input, end + 1);
  }
  if (input.size() >= kLongestRequest) input.clear();
  return answers;
}

bool Fits(double value, int decimals) {
  return std::isfinite(value) && NumberText(value, decimals).size() <= kWeightWidth;
}

}  // namespace

const Emulation kNciEmulation{"nci", {9600, 7, 'E', 1}, kWeightWidth, Fits, nullptr, Answer};

}  // namespace vscale
