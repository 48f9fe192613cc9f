// A continuous scale at 9600 7E1: STX, three status words, 6 digits of weight, 6 digits of
// tare, CR and a checksum byte (the 7-bit two's complement of the sum of the bytes before
// it), back to back. The status words carry the decimal point, net, sign, out of range,
// motion and unit.
#include <cmath>
#include <cstdio>

#include "emulation.h"

namespace vscale {
namespace {

constexpr unsigned kAlwaysSet = 1u << 5;     // bit 5 of every status word
constexpr unsigned kIncrementOne = 1u << 3;  // SWA bits 3-4: the display counts in ones
// SWA bits 0-2: codes 2 ("XXXXXX") to 7 ("X.XXXXX") put the point before 0 to 5 digits.
constexpr int kPointCodeForNoDecimals = 2;
constexpr int kMostDecimals = 5;
enum SwbBit : unsigned {
  kNet = 1u << 0,
  kNegative = 1u << 1,
  kOutOfRange = 1u << 2,
  kMotion = 1u << 3,
  kKilograms = 1u << 4,
};
// SWC bits 0-2: the unit when it is not the one SWB names.
constexpr unsigned kSwcGrams = 1;
constexpr unsigned kSwcOunces = 3;
constexpr long long kMostCounts = 999999;

int Decimals(const ScaleState& state) {
  return state.decimals < 0 ? 0 : (state.decimals > kMostDecimals ? kMostDecimals : state.decimals);
}

// The 6 digits of a weight counted in the display's last digit.
std::string Digits(double value, int decimals) {
  long long counts = std::llround(std::fabs(value) * std::pow(10.0, decimals));
  if (counts > kMostCounts) counts = kMostCounts;
  char text[16];
  std::snprintf(text, sizeof text, "%06lld", counts);
  return text;
}

unsigned StatusB(const ScaleState& state) {
  unsigned swb = kAlwaysSet;
  if (state.Net()) swb |= kNet;
  if (ShowsNegative(state.Shown(), Decimals(state))) swb |= kNegative;
  if (state.condition == Condition::kOverload) swb |= kOutOfRange;
  if (state.condition == Condition::kUnderZero) swb |= kOutOfRange | kNegative;
  if (state.motion) swb |= kMotion;
  if (state.unit == WeightUnit::kKg) swb |= kKilograms;
  return swb;
}

unsigned StatusC(const ScaleState& state) {
  if (state.unit == WeightUnit::kG) return kAlwaysSet | kSwcGrams;
  if (state.unit == WeightUnit::kOz) return kAlwaysSet | kSwcOunces;
  return kAlwaysSet;  // kilograms or pounds, as SWB says
}

// A busy scale sends nothing: the frame has no way to say so.
std::string Frame(const ScaleState& state) {
  if (state.condition == Condition::kBusy) return {};
  const int decimals = Decimals(state);
  std::string frame(1, kStx);
  frame += static_cast<char>(kAlwaysSet | kIncrementOne |
                             static_cast<unsigned>(kPointCodeForNoDecimals + decimals));
  frame += static_cast<char>(StatusB(state));
  frame += static_cast<char>(StatusC(state));
  frame += Digits(state.Shown(), decimals) + Digits(state.tare, decimals) + '\r';
  if (state.checksum) {
    unsigned sum = 0;
    for (const char c : frame) sum += static_cast<unsigned char>(c);
    frame += static_cast<char>((0x80u - (sum & 0x7Fu)) & 0x7Fu);
  }
  return frame;
}

bool Fits(double value, int decimals) {
  const int shown = decimals > kMostDecimals ? kMostDecimals : decimals;
  return std::isfinite(value) &&
         std::llround(std::fabs(value) * std::pow(10.0, shown)) <= kMostCounts;
}

}  // namespace

const Emulation kToledoContinuousEmulation{
    "toledo-continuous", {9600, 7, 'E', 1}, 7, Fits, Frame, nullptr};

}  // namespace vscale
