// A polled scale at 9600 7E1: "W" asks for the weight, "Z" zeroes. A weight answer is
// STX, 4 to 7 characters of digits with one point at most, "N" when it is net, CR; a scale
// that cannot give a
// weight (motion, over capacity, under zero, ...) answers with its status instead:
// STX "?" status CR. A zero command is always answered with the status.
#include "emulation.h"

namespace vscale {
namespace {

enum StatusBit : unsigned {
  kMotion = 1u << 0,
  kOverCapacity = 1u << 1,
  kUnderZero = 1u << 2,
  kOutsideZeroCapture = 1u << 3,
  kCenterOfZero = 1u << 4,
  kNet = 1u << 5,
  kAlwaysSet = 1u << 6,
};
constexpr unsigned kNoWeight = kMotion | kOverCapacity | kUnderZero | kOutsideZeroCapture;
constexpr std::size_t kWeightWidth = 6;  // "01.234", "123.45"
constexpr std::size_t kWidestWeight = 7;

std::string Record(const std::string& body) { return kStx + body + '\r'; }

unsigned Status(const ScaleState& state) {
  unsigned status = kAlwaysSet;
  if (state.motion) status |= kMotion;
  if (state.condition == Condition::kOverload) status |= kOverCapacity;
  // The record has no sign: a weight below zero is only ever a status.
  if (state.condition == Condition::kUnderZero || ShowsNegative(state.Shown(), state.decimals)) {
    status |= kUnderZero;
  }
  if (state.condition == Condition::kBusy) status |= kOutsideZeroCapture;
  if (ShowsZero(state.Gross(), state.decimals)) status |= kCenterOfZero;
  if (state.Net()) status |= kNet;
  return status;
}

std::string StatusRecord(unsigned status) {
  return Record(std::string("?") + static_cast<char>(status));
}

std::string Weight(const ScaleState& state) {
  const unsigned status = Status(state);
  if ((status & kNoWeight) != 0) return StatusRecord(status);
  return Record(Aligned(NumberText(state.Shown(), state.decimals), kWeightWidth, '0') +
                (state.Net() ? "N" : ""));
}

std::string Zero(ScaleState& state) {
  switch (CarryOut(qel::ScaleCommand::kZero, state)) {
    case CommandOutcome::kDone:
      return StatusRecord(Status(state) | kCenterOfZero);
    case CommandOutcome::kRefused:
      return StatusRecord((Status(state) & ~kCenterOfZero) | kOutsideZeroCapture);
    case CommandOutcome::kIgnored:
      break;
  }
  return {};
}

std::string Answer(std::string& input, ScaleState& state) {
  std::string answers;
  for (const char request : input) {
    if (request == 'W') answers += Weight(state);
    if (request == 'Z') answers += Zero(state);
  }
  input.clear();
  return answers;
}

bool Fits(double value, int decimals) { return MagnitudeFits(value, decimals, kWidestWeight); }

}  // namespace

const Emulation kToledo8217Emulation{"toledo-8217", {9600, 7, 'E', 1}, kWidestWeight,
                                     Fits,          nullptr,           Answer};

}  // namespace vscale
