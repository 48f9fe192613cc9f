// The USB point-of-sale scale report: status, unit and exponent as the HID usage tables' Scale
// page defines them, over reports recorded from the layout (status, unit, exponent, weight LE).
#include "hid_scale.h"

#include <gtest/gtest.h>

#include <string>

namespace qel {
namespace {

using Kind = ScaleFrame::Kind;

std::string Report(unsigned status, unsigned unit, int exponent, unsigned weight) {
  return {static_cast<char>(status), static_cast<char>(unit), static_cast<char>(exponent),
          static_cast<char>(weight & 0xff), static_cast<char>(weight >> 8)};
}

TEST(HidScale, WeightsInEveryNamedUnitWithTheirExponent) {
  struct Case {
    std::string report;
    std::string value;
    WeightUnit unit;
  };
  const Case cases[] = {
      {Report(4, 12, -1, 25), "2.5", WeightUnit::kLb},    // 2.5 lb
      {Report(4, 11, -1, 355), "35.5", WeightUnit::kOz},  // 35.5 oz
      {Report(4, 2, 0, 1234), "1234", WeightUnit::kG},
      {Report(4, 3, -3, 65535), "65.535", WeightUnit::kKg},
      {Report(4, 3, -3, 5), "0.005", WeightUnit::kKg},
      {Report(4, 2, 1, 12), "120", WeightUnit::kG},
      {Report(4, 1, 0, 7), "7", WeightUnit::kMg},
      {Report(4, 4, -2, 150), "1.50", WeightUnit::kCt},
      {Report(4, 8, -3, 2005), "2.005", WeightUnit::kT},
  };
  for (const Case& c : cases) {
    const ScaleFrame frame = DecodeHidScaleReport(c.report);
    EXPECT_EQ(frame.kind, Kind::kWeight) << c.value;
    EXPECT_EQ(frame.value, c.value);
    EXPECT_EQ(frame.unit, c.unit) << c.value;
    EXPECT_EQ(frame.stable, true) << c.value;
    EXPECT_FALSE(frame.net.has_value());
  }
}

TEST(HidScale, StatusesGiveStabilityAndTheReadingsErrors) {
  const ScaleFrame zero = DecodeHidScaleReport(Report(2, 3, -3, 0));
  EXPECT_EQ(zero.kind, Kind::kWeight);
  EXPECT_EQ(zero.value, "0.000");
  EXPECT_EQ(zero.stable, true);
  const ScaleFrame moving = DecodeHidScaleReport(Report(3, 12, -1, 31));
  EXPECT_EQ(moving.kind, Kind::kWeight);
  EXPECT_EQ(moving.value, "3.1");
  EXPECT_EQ(moving.stable, false);
  EXPECT_EQ(DecodeHidScaleReport(Report(5, 12, -1, 3)).kind, Kind::kUnderZero);
  EXPECT_EQ(DecodeHidScaleReport(Report(6, 12, -1, 0)).kind, Kind::kOverload);
  for (const unsigned status : {1u, 7u, 8u}) {
    EXPECT_EQ(DecodeHidScaleReport(Report(status, 12, -1, 3)).kind, Kind::kBusy) << status;
  }
  EXPECT_TRUE(DecodeHidScaleReport(Report(6, 12, -1, 0)).value.empty());
}

TEST(HidScale, ShortReportsUnknownStatusesAndUnnamedUnitsAreNoFrame) {
  EXPECT_EQ(DecodeHidScaleReport("").kind, Kind::kInvalid);
  EXPECT_EQ(DecodeHidScaleReport(Report(4, 12, -1, 25).substr(0, 4)).kind, Kind::kInvalid);
  for (const unsigned status : {0u, 9u, 0x74u, 0xffu}) {
    EXPECT_EQ(DecodeHidScaleReport(Report(status, 12, -1, 25)).kind, Kind::kInvalid) << status;
  }
  // Grains, pennyweights, short tons and troy ounces: no unit a reading can name.
  for (const unsigned unit : {0u, 5u, 6u, 7u, 9u, 10u, 13u}) {
    EXPECT_EQ(DecodeHidScaleReport(Report(4, unit, 0, 25)).kind, Kind::kInvalid) << unit;
  }
  EXPECT_EQ(DecodeHidScaleReport(Report(4, 2, 10, 25)).kind, Kind::kInvalid);
  EXPECT_EQ(DecodeHidScaleReport(Report(4, 2, -10, 25)).kind, Kind::kInvalid);
  // Bytes after the weight (a longer report's other fields) change nothing.
  EXPECT_EQ(DecodeHidScaleReport(Report(4, 12, -1, 25) + "\x01\x02").value, "2.5");
}

}  // namespace
}  // namespace qel
