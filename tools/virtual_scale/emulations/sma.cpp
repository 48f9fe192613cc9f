// A polled scale at 9600 8N1: LF "W" CR asks for the weight, LF "Z" CR zeroes, LF "T" CR
// tares; every answer is the standard frame LF, status, range, gross/net, motion, a spare
// character, 10 characters of weight, 3 of unit, CR.
#include <cmath>

#include "emulation.h"

namespace vscale {
namespace {

constexpr std::size_t kWeightWidth = 10;
constexpr std::size_t kUnitWidth = 3;
constexpr std::size_t kRequestSize = 3;  // LF, command, CR

// What the first status character says; a weight that is no error shows as ' ', or 'Z' at
// the center of zero.
enum Status : char {
  kNone = ' ',
  kCenterOfZero = 'Z',
  kOverCapacity = 'O',
  kUnderCapacity = 'U',
  kZeroError = 'E',
  kInitialZeroError = 'I',
  kTareError = 'T',
};

char StatusOf(const ScaleState& state) {
  switch (state.condition) {
    case Condition::kOverload:
      return kOverCapacity;
    case Condition::kUnderZero:
      return kUnderCapacity;
    case Condition::kBusy:
      return kInitialZeroError;
    case Condition::kNormal:
      break;
  }
  return ShowsZero(state.Gross(), state.decimals) ? kCenterOfZero : kNone;
}

std::string Frame(const ScaleState& state, char status) {
  std::string unit(WeightUnitName(state.unit));
  unit.resize(kUnitWidth, ' ');
  std::string frame = "\n";
  frame += status;
  frame += '1';  // the only range
  frame += state.Net() ? 'N' : 'G';
  frame += state.motion ? 'M' : ' ';
  frame += ' ';
  return frame + Aligned(NumberText(state.Shown(), state.decimals), kWeightWidth, ' ') + unit +
         "\r";
}

std::string Command(qel::ScaleCommand command, ScaleState& state) {
  switch (CarryOut(command, state)) {
    case CommandOutcome::kDone:
      return Frame(state, StatusOf(state));
    case CommandOutcome::kRefused:
      return Frame(state, command == qel::ScaleCommand::kZero ? kZeroError : kTareError);
    case CommandOutcome::kIgnored:
      break;
  }
  return {};
}

std::string Answer(std::string& input, ScaleState& state) {
  std::string answers;
  for (;;) {
    const std::size_t start = input.find('\n');
    if (start == std::string::npos) {
      input.clear();
      break;
    }
    Consume(input, start);
    if (input.size() < kRequestSize) break;
    if (input[2] != '\r') {  // not a request: look for the next LF
      Consume(input, 1);
      continue;
    }
    const char request = input[1];
    Consume(input, kRequestSize);
    if (request == 'W') answers += Frame(state, StatusOf(state));
    if (request == 'Z') answers += Command(qel::ScaleCommand::kZero, state);
    if (request == 'T') answers += Command(qel::ScaleCommand::kTare, state);
  }
  return answers;
}

bool Fits(double value, int decimals) {
  return std::isfinite(value) && NumberText(value, decimals).size() <= kWeightWidth;
}

}  // namespace

const Emulation kSmaEmulation{"sma", {9600, 8, 'N', 1}, kWeightWidth, Fits, nullptr, Answer};

}  // namespace vscale
