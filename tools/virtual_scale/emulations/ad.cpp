// A continuous scale at 2400 7E1: "ST,+0001.234  kg" CR LF, back to back. The header says
// stable (ST), moving (US) or out of range (OL, "-" below zero); the sign and 8 characters
// of weight, then the unit right-aligned after at least one space.
#include "emulation.h"

namespace vscale {
namespace {

constexpr std::size_t kWeightWidth = 8;
constexpr std::size_t kUnitWidth = 4;  // "  kg", "   g"

// A busy scale sends nothing: the frame has no way to say so.
std::string Frame(const ScaleState& state) {
  if (state.condition == Condition::kBusy) return {};
  return std::string(StabilityHeader(state)) + "," + SignedWeight(state, kWeightWidth) +
         Aligned(std::string(WeightUnitName(state.unit)), kUnitWidth, ' ') + "\r\n";
}

bool Fits(double value, int decimals) { return MagnitudeFits(value, decimals, kWeightWidth); }

}  // namespace

const Emulation kAdEmulation{"ad", {2400, 7, 'E', 1}, kWeightWidth, Fits, Frame, nullptr};

}  // namespace vscale
