#include "weight_decoding.h"

#include <gtest/gtest.h>

#include <cstring>

#include "fake_platform.h"
#include "qelscale.h"

namespace qel {
namespace {

const NumberFormat kComma{",", true};
const NumberFormat kPoint{".", true};
const NumberFormat kCommaNoLeadingZero{",", false};

// One driver call over the fake serial port, so that the driver's own length rule is what
// is tested, not a copy of it.
std::string Weigh(std::string_view received, const NumberFormat& format = kComma) {
  testing::FakePlatform platform;
  platform.locale.format = format;
  platform.serial.incoming = std::string(received);
  Qelscale scale(platform.services);
  return scale.GetWeight_();
}

bool Probe(std::string_view received) {
  testing::FakePlatform platform;
  platform.serial.incoming = std::string(received);
  Qelscale scale(platform.services);
  return scale.OpenComPort_("COM3");
}

TEST(ExtractWeightField, TakesTheFirstFrameAndReversesIt) {
  EXPECT_EQ(ExtractWeightField("=432.100=432.100=4"), "001,234");
  // Whatever stands before the first "=" and after the first frame plays no part.
  // The first "=" starts the frame, even when a later frame would have been valid.
  EXPECT_EQ(ExtractWeightField("xx=9=8=7=432.100=111.222"), "4=7=8=9");
  EXPECT_EQ(Weigh("xx=9=8=7=432.100=111.222"), "0");
  EXPECT_EQ(ExtractWeightField("garbage=432.100=9"), "001,234");
  EXPECT_EQ(ExtractWeightField("=432.100Z"), "001,234");
}

TEST(ExtractWeightField, IgnoresTrailingSpacesOfTheField) {
  EXPECT_EQ(ExtractWeightField("=005.1  =005.1  "), "1,500");
  EXPECT_EQ(ExtractWeightField("=0      x"), "0");
}

TEST(ExtractWeightField, NoFrameWithoutEquals) {
  // Noise must never become a weight.
  EXPECT_EQ(ExtractWeightField("432.1000000"), std::nullopt);
  EXPECT_EQ(ExtractWeightField(std::string(255, '7')), std::nullopt);
}

TEST(ExtractWeightField, NoFrameWhenTheFieldIsCutShort) {
  // "=432.10" at the end of the buffer would read 0.234 instead of 1.234.
  EXPECT_EQ(ExtractWeightField("abcdef=432.10"), std::nullopt);
  EXPECT_EQ(ExtractWeightField("abcdefgh="), std::nullopt);
  std::string tail(250, 'x');
  tail += "=4321";  // "=" at position 251 of 255
  EXPECT_EQ(ExtractWeightField(tail), std::nullopt);
  EXPECT_EQ(ExtractWeightField("abcdefg=432.100"), "001,234") << "exactly seven is complete";
}

TEST(NumericCandidate, FrameSyntaxInEveryLocale) {
  for (const char* ok : {"1", "001,234", "-1,5", "+2", ",5", "5,", "  12,5  ", "-0", "0"}) {
    EXPECT_TRUE(IsNumericCandidate(ok)) << ok;
  }
  for (const char* bad : {"", " ", ",", "-", "1,2,3", "1.234", "1 2", "- 1", "12a", "0x1", "1e3",
                          "--1", "1-", "\xb9"}) {
    EXPECT_FALSE(IsNumericCandidate(bad)) << bad;
  }
}

TEST(FormatWeight, ThreeDecimalsInTheUsersFormat) {
  EXPECT_EQ(FormatWeight("001,234", kComma), "1,234");
  EXPECT_EQ(FormatWeight("001,234", kPoint), "1.234") << "not 1234 under a decimal-point locale";
  EXPECT_EQ(FormatWeight("1,5", kComma), "1,500");
  EXPECT_EQ(FormatWeight("12", kPoint), "12.000");
  EXPECT_EQ(FormatWeight("1234567", kComma), "1234567,000") << "no digit grouping";
  EXPECT_EQ(FormatWeight("0,5", kCommaNoLeadingZero), ",500");
  EXPECT_EQ(FormatWeight("0", kCommaNoLeadingZero), ",000");
  EXPECT_EQ(FormatWeight(",25", kComma), "0,250");
}

TEST(FormatWeight, RoundsHalfAwayFromZeroOnDecimalDigits) {
  EXPECT_EQ(FormatWeight("1,2344", kComma), "1,234");
  EXPECT_EQ(FormatWeight("1,2345", kComma), "1,235");
  EXPECT_EQ(FormatWeight("9,9995", kComma), "10,000");
  EXPECT_EQ(FormatWeight(",99999", kPoint), "1.000");
}

TEST(AcceptWeight, ZeroReadingDiffersFromNoReading) {
  EXPECT_EQ(Weigh("=000.000x"), "0,000");
  EXPECT_EQ(Weigh("=0-     x"), "0,000") << "minus zero is not below zero";
  EXPECT_EQ(Weigh("=abcdefgx"), "0");
  EXPECT_EQ(Weigh("=       x"), "0") << "an empty field is no number";
}

TEST(AcceptWeight, NegativeWeightIsNoReadingButAProbeSuccess) {
  const auto candidate = ExtractWeightField("=432.10-x");
  ASSERT_EQ(candidate, "-01,234");
  EXPECT_EQ(AcceptWeight(candidate, kComma), "0");
  EXPECT_TRUE(AcceptProbe(candidate));
  EXPECT_FALSE(AcceptProbe(ExtractWeightField("=4x2.100x")));
  EXPECT_FALSE(AcceptProbe(std::nullopt));
}

TEST(AcceptWeight, ShortTextsHoldNoFrame) {
  EXPECT_EQ(Weigh("=432.100"), "0") << "eight characters, even a whole frame";
  EXPECT_EQ(Weigh("=432.100 "), "1,234") << "nine are the least that is decoded";
  EXPECT_EQ(Weigh("=432.100=432.100", kPoint), "1.234");
  EXPECT_FALSE(Probe("=432.100")) << "eight characters are no answer to a probe";
  EXPECT_TRUE(Probe("=432.100 ")) << "nine are";
}

TEST(ReceivedText, TakesTheCountedBytesOnly) {
  std::uint8_t buffer[256];
  std::memset(buffer, 'A', sizeof buffer);
  buffer[0] = '=';
  EXPECT_EQ(ReceivedText(buffer, 3), "=AA");
  EXPECT_EQ(ReceivedText(buffer, 0), "");
  EXPECT_EQ(ReceivedText(buffer, -5), "");
  EXPECT_EQ(ReceivedText(buffer, 1000).size(), 255u);
}

}  // namespace
}  // namespace qel
