// A polled scale at 9600 8N1 speaking the CAS ECR protocol: ENQ is answered with ACK, DC1
// with SOH STX, "S" or "U" (stable, unstable), the sign (blank, "-", "F" for overflow), six
// characters of weight with its point, a two-character unit, BCC (the XOR from the status
// letter to the unit), ETX, EOT. A scale under zero or busy has no such record: it answers
// DC1 with NAK.
#include <cmath>

#include "emulation.h"

namespace vscale {
namespace {

constexpr std::size_t kWeightWidth = 6;
constexpr char kEnq = '\x05';
constexpr char kAck = '\x06';
constexpr char kDc1 = '\x11';
constexpr char kNak = '\x15';

std::string Record(const ScaleState& state) {
  if (state.condition == Condition::kUnderZero || state.condition == Condition::kBusy) {
    return std::string(1, kNak);
  }
  std::string text(1, state.motion ? 'U' : 'S');
  if (state.condition == Condition::kOverload) {
    text += 'F' + std::string(kWeightWidth, '9');
  } else {
    std::string weight = NumberText(state.Shown(), state.decimals);
    const bool negative = weight[0] == '-';
    if (negative) weight.erase(0, 1);
    text += (negative ? '-' : ' ') + Aligned(weight, kWeightWidth, '0');
  }
  std::string unit(WeightUnitName(state.unit));
  text += Aligned(unit, 2, ' ');
  unsigned bcc = 0;
  for (const char c : text) bcc ^= static_cast<unsigned char>(c);
  return "\x01\x02" + text + static_cast<char>(bcc) + "\x03\x04";
}

std::string Answer(std::string& input, ScaleState& state) {
  std::string answers;
  for (const char request : input) {
    if (request == kEnq) answers += kAck;
    if (request == kDc1) answers += Record(state);
  }
  input.clear();
  return answers;
}

bool Fits(double value, int decimals) { return MagnitudeFits(value, decimals, kWeightWidth); }

}  // namespace

const Emulation kCasEcrEmulation{"cas-ecr", {9600, 8, 'N', 1}, kWeightWidth, Fits, nullptr, Answer};

}  // namespace vscale
