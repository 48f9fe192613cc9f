// A polled scale at 9600 8N1 answering command lines that end in CR LF: "SI" asks for the
// weight now ("S S" stable, "S D" moving, "S +" over, "S -" under, "S I" busy), "Z" zeroes
// ("Z A" done), "T" tares ("T S" with the tare), anything else is "ES".
#include <cmath>

#include "emulation.h"

namespace vscale {
namespace {

constexpr std::size_t kValueWidth = 10;
constexpr std::string_view kEnd = "\r\n";

std::string Line(const std::string& text) { return text + std::string(kEnd); }

std::string Value(double value, const ScaleState& state) {
  return Aligned(NumberText(value, state.decimals), kValueWidth, ' ') + " " +
         std::string(WeightUnitName(state.unit));
}

// "+" over, "-" under, "I" busy; nothing when the scale is in range.
std::string_view OutOfRange(const ScaleState& state) {
  switch (state.condition) {
    case Condition::kOverload:
      return "+";
    case Condition::kUnderZero:
      return "-";
    case Condition::kBusy:
      return "I";
    case Condition::kNormal:
      break;
  }
  return {};
}

std::string Weight(const ScaleState& state) {
  const std::string_view range = OutOfRange(state);
  if (!range.empty()) return Line("S " + std::string(range));
  return Line(std::string(state.motion ? "S D " : "S S ") + Value(state.Shown(), state));
}

// Zero or tare: "Z A" / "T S" and the tare when done; "I", "+" or "-" when refused.
std::string Command(qel::ScaleCommand command, ScaleState& state) {
  const std::string name = command == qel::ScaleCommand::kZero ? "Z" : "T";
  switch (CarryOut(command, state)) {
    case CommandOutcome::kDone:
      return Line(command == qel::ScaleCommand::kZero ? "Z A" : "T S " + Value(state.tare, state));
    case CommandOutcome::kRefused: {
      const std::string_view range = OutOfRange(state);
      return Line(name + " " + std::string(range.empty() ? "I" : range));
    }
    case CommandOutcome::kIgnored:
      break;
  }
  return {};
}

std::string Answer(std::string& input, ScaleState& state) {
  std::string answers;
  std::size_t end;
  while ((end = input.find(kEnd)) != std::string::npos) {
    const std::string request = input.substr(0, end);
    Consume(input, end + kEnd.size());
    if (request == "SI") {
      answers += Weight(state);
    } else if (request == "Z") {
      answers += Command(qel::ScaleCommand::kZero, state);
    } else if (request == "T") {
      answers += Command(qel::ScaleCommand::kTare, state);
    } else {
      answers += Line("ES");
    }
  }
  if (input.size() > kLongestRequest) Consume(input, 0);
  return answers;
}

bool Fits(double value, int decimals) {
  return std::isfinite(value) && NumberText(value, decimals).size() <= kValueWidth;
}

}  // namespace

const Emulation kMtSicsEmulation{"mt-sics", {9600, 8, 'N', 1}, kValueWidth, Fits, nullptr, Answer};

}  // namespace vscale
