// A continuous scale at 9600 8N1: "ST,GS,+001.234 kg" CR LF, back to back. The first header
// says stable (ST), moving (US) or out of range (OL, "-" below zero), the second gross (GS)
// or net (NT); then the sign, 7 characters of weight, a space and the unit.
#include "emulation.h"

namespace vscale {
namespace {

constexpr std::size_t kWeightWidth = 7;

// A busy scale sends nothing: the frame has no way to say so.
std::string Frame(const ScaleState& state) {
  if (state.condition == Condition::kBusy) return {};
  return std::string(StabilityHeader(state)) + (state.Net() ? ",NT," : ",GS,") +
         SignedWeight(state, kWeightWidth) + " " + std::string(WeightUnitName(state.unit)) + "\r\n";
}

bool Fits(double value, int decimals) { return MagnitudeFits(value, decimals, kWeightWidth); }

}  // namespace

const Emulation kCasEmulation{"cas", {9600, 8, 'N', 1}, kWeightWidth, Fits, Frame, nullptr};

}  // namespace vscale
