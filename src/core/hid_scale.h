// The input report of a USB point-of-sale scale: a HID device on usage page 0x8D (Scales),
// whose Scale Data Report carries the scale's status, the weight unit, a power-of-ten
// exponent and the weight. Portable: the platform's reader (hidraw, Windows HID, WebHID)
// hands over the report's bytes and gets a frame back, as a serial protocol's reader does.
#pragma once

#include <cstdint>
#include <string_view>

#include "protocol.h"

namespace qel {

inline constexpr std::uint16_t kHidScaleUsagePage = 0x8D;

// The report's data, without the report id (WebHID gives it apart; hidraw puts it first):
//   [0] status: the n of Scale Status usage 0x70 + n (1 fault, 2 stable at zero, 3 in motion,
//       4 stable, 5 under zero, 6 over the weight limit, 7 needs calibration, 8 needs re-zeroing)
//   [1] unit: the n of Weight Unit usage 0x50 + n (1 mg, 2 g, 3 kg, 4 ct, 8 t, 11 oz, 12 lb)
//   [2] exponent: signed, the weight is data weight x 10^exponent
//   [3..4] data weight: unsigned, little-endian
// A weight in motion keeps its weight with stable=false; the faults and the calibration and
// re-zeroing requests are kBusy (the scale cannot weigh now). A report too short, with an
// unknown status, or a unit the readings cannot name is kInvalid.
ScaleFrame DecodeHidScaleReport(std::string_view data);

}  // namespace qel
