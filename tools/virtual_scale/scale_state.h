// What the scale shows and how it behaves, as the stdin commands and options set it; every
// emulation renders the same state in its own bytes.
#pragma once

#include <string>
#include <string_view>

#include "protocol.h"

namespace vscale {

using qel::WeightUnit;
using qel::WeightUnitName;

// What the display shows instead of, or besides, the weight.
enum class Condition { kNormal, kOverload, kUnderZero, kBusy };

// How the scale answers zero and tare commands.
enum class CommandPolicy { kAck, kRefuse, kIgnore };

struct ScaleState {
  double weight = 1.234;  // gross, in the unit shown
  double tare = 0;        // net mode while not zero
  int decimals = 3;       // the scale's resolution; the driver's own frames always show three
  bool negated = false;   // mode negative: the weight is shown negated
  bool motion = false;
  Condition condition = Condition::kNormal;
  WeightUnit unit = WeightUnit::kKg;
  CommandPolicy commands = CommandPolicy::kAck;
  bool checksum = true;  // frames that may carry a checksum byte carry one

  double Gross() const { return negated ? -weight : weight; }
  // What the display shows: the net weight while a tare is set.
  double Shown() const { return Gross() - tare; }
  bool Net() const { return tare != 0; }
};

// `value` with `decimals` decimals, "-" when it is negative after rounding: "1.234", "-0.50",
// "120".
std::string NumberText(double value, int decimals);
// True when `value` shows as zero at `decimals`, or with a "-".
bool ShowsZero(double value, int decimals);
bool ShowsNegative(double value, int decimals);

// What a zero or tare command does to the scale. A scale carries a command out only when told
// to acknowledge, in range and steady; an acknowledged zero makes the weight 0 and leaves net
// mode, an acknowledged tare takes the gross weight as tare.
enum class CommandOutcome { kDone, kRefused, kIgnored };
CommandOutcome CarryOut(qel::ScaleCommand command, ScaleState& state);

}  // namespace vscale
