// The line between the virtual scale and its client: a client set to the scale's line reads
// clean frames, one set to another line reads what a real port would, and the driver's
// back end tells a pseudo-terminal its framing through the flags the terminal keeps.
#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "gtest/gtest.h"
#include "line_client.h"
#include "scale_process.h"
#include "wine_speed.h"

namespace qel::e2e {
namespace {

// A 7-bit character with its even parity bit in bit 7, as an 8N1 receiver reads it.
char WithEvenParity(char c) {
  unsigned ones = 0;
  for (unsigned v = static_cast<unsigned char>(c); v != 0; v >>= 1) ones += v & 1;
  return static_cast<char>(static_cast<unsigned char>(c) | ((ones & 1) << 7));
}

// An 8-bit character as a 7E1 receiver checking parity reads it: the eighth bit is taken for
// parity, a wrong one reads as 0x00.
char AsSevenEven(char c) {
  const unsigned byte = static_cast<unsigned char>(c);
  unsigned ones = 0;
  for (unsigned v = byte; v != 0; v >>= 1) ones += v & 1;
  return (ones & 1) != 0 ? '\0' : static_cast<char>(byte & 0x7F);
}

template <typename Map>
std::string Mapped(const std::string& text, Map map) {
  std::string mapped;
  for (const char c : text) mapped += map(c);
  return mapped;
}

TEST(VirtualScaleLine, SevenBitScaleReadAtEightBitsShowsTheParityBit) {
  ScaleProcess scale({"--protocol", "ad"});
  LineClient client(scale.port(), MakeLine(2400, "8N1"));
  ASSERT_TRUE(client.ok());
  const std::string frame = Mapped("ST,+0001.234  kg\r\n", WithEvenParity);
  EXPECT_NE(frame, "ST,+0001.234  kg\r\n");
  const std::string read = client.ReadUntil(frame + frame);
  EXPECT_NE(read.find(frame + frame), std::string::npos) << testing::PrintToString(read);
}

TEST(VirtualScaleLine, EightBitScaleReadAtSevenEvenGivesParityErrorsAsZeros) {
  ScaleProcess scale({"--protocol", "cas"});
  LineClient client(scale.port(), MakeLine(9600, "7E1"));
  ASSERT_TRUE(client.ok());
  const std::string frame = Mapped("ST,GS,+001.234 kg\r\n", AsSevenEven);
  ASSERT_NE(frame.find('\0'), std::string::npos);
  const std::string read = client.ReadUntil(frame + frame);
  EXPECT_NE(read.find(frame + frame), std::string::npos) << testing::PrintToString(read);
}

// Every character of a 7E1 scale has the wrong parity for a 7O1 receiver.
TEST(VirtualScaleLine, OppositeParityReadsEveryCharacterAsZero) {
  ScaleProcess scale({"--protocol", "toledo-continuous"});
  LineClient client(scale.port(), MakeLine(9600, "7O1"));
  ASSERT_TRUE(client.ok());
  const std::string read = client.ReadFor(300);
  ASSERT_GT(read.size(), 40u);
  EXPECT_EQ(read.find_first_not_of('\0'), std::string::npos) << testing::PrintToString(read);
}

// An 8E1 receiver (what Wine's serial layer makes of any parity line) takes a 7E1 character's
// parity bit for data and its stop bit for parity, and loses step where the next start bit
// follows: errors nearly throughout, never a frame.
TEST(VirtualScaleLine, SevenBitScaleReadAtEightEvenGivesErrors) {
  ScaleProcess scale({"--protocol", "toledo-continuous"});
  LineClient client(scale.port(), MakeLine(9600, "8E1"));
  ASSERT_TRUE(client.ok());
  const std::string read = client.ReadFor(300);
  ASSERT_GT(read.size(), 40u);
  EXPECT_EQ(read.find_first_of("\x02\r"), std::string::npos) << testing::PrintToString(read);
  const auto zeros = static_cast<std::size_t>(std::count(read.begin(), read.end(), '\0'));
  EXPECT_GT(zeros * 10, read.size() * 8) << testing::PrintToString(read);
}

// A wrong speed never yields a frame; setting the right line again gives clean frames at once.
TEST(VirtualScaleLine, WrongSpeedGivesNoFrameAndTheRightLineRecovers) {
  const struct {
    const char* protocol;
    const char* framing;
    std::uint32_t baud;
    std::string frame;
  } cases[] = {
      {"qel", "8N1", 9600, "=432.100"},
      {"cas", "8N1", 9600, "ST,GS,+001.234 kg\r\n"},
      {"ad", "7E1", 2400, "ST,+0001.234  kg\r\n"},
      {"toledo-continuous", "7E1", 9600, "\x02-0 001234000000\r*"},  // '*': its checksum
  };
  for (const auto& c : cases) {
    for (const std::uint32_t wrong : {1200u, 4800u, 19200u, 115200u}) {
      if (wrong == c.baud) continue;
      SCOPED_TRACE(std::string(c.protocol) + " read at " + std::to_string(wrong));
      ScaleProcess scale({"--protocol", c.protocol});
      LineClient client(scale.port(), MakeLine(wrong, c.framing));
      ASSERT_TRUE(client.ok());
      const std::string garbage = client.ReadFor(300);
      EXPECT_EQ(garbage.find(c.frame), std::string::npos) << testing::PrintToString(garbage);
      ASSERT_TRUE(client.SetLine(MakeLine(c.baud, c.framing)));
      const std::string read = client.ReadUntil(c.frame + c.frame);
      EXPECT_NE(read.find(c.frame + c.frame), std::string::npos) << testing::PrintToString(read);
    }
  }
}

// Any speed is a line: 300 baud reads garbage, never a frame, and the scale lives on to serve
// the right line.
TEST(VirtualScaleLine, ClientAtAnUnusualSpeedReadsNoFrameAndTheScaleGoesOn) {
  ScaleProcess scale({"--protocol", "cas"});
  LineClient client(scale.port(), MakeLine(300, "8N1"));
  ASSERT_TRUE(client.ok());
  EXPECT_EQ(client.ReadFor(500).find("kg\r\n"), std::string::npos);
  ASSERT_TRUE(client.SetLine(MakeLine(9600, "8N1")));
  const std::string frame = "ST,GS,+001.234 kg\r\n";
  EXPECT_NE(client.ReadUntil(frame + frame).find(frame + frame), std::string::npos);
  EXPECT_EQ(scale.Command("weight 1"), "ok");
}

// Wine sets the speed as BOTHER with the rate as a number; the scale reads the rate all the
// same, so a Wine COM port at the scale's 8N1 line reads clean frames and answers.
TEST(VirtualScaleLine, SpeedSetAsWineDoesIsTheSpeed) {
  for (const char* protocol : {"cas", "mt-sics"}) {
    SCOPED_TRACE(protocol);
    ScaleProcess scale({"--protocol", protocol});
    LineClient client(scale.port(), MakeLine(9600, "8N1"));
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(SetSpeedAsWineDoes(client.fd(), 9600));
    const std::string expected =
        protocol == std::string("cas") ? "ST,GS,+001.234 kg\r\n" : "S S      1.234 kg\r\n";
    const std::string read = protocol == std::string("cas") ? client.ReadUntil(expected)
                                                            : client.Ask("SI\r\n", expected);
    EXPECT_NE(read.find(expected), std::string::npos) << testing::PrintToString(read);
    ASSERT_TRUE(SetSpeedAsWineDoes(client.fd(), 19200));
    client.ReadFor(50);
    EXPECT_EQ(client.ReadFor(300).find(expected), std::string::npos);
  }
}

// Requests sent at a wrong line reach a polled scale garbled, so it does not answer.
TEST(VirtualScaleLine, PolledScaleAnswersOnlyRequestsAtItsLine) {
  const struct {
    const char* protocol;
    LineFormat right;
    std::string request;
    std::string answer;
  } cases[] = {
      {"mt-sics", MakeLine(9600, "8N1"), "SI\r\n", "S S      1.234 kg\r\n"},
      {"sma", MakeLine(9600, "8N1"), "\nW\r", "\n 1G       1.234kg \r"},
      {"toledo-8217", MakeLine(9600, "7E1"), "W",
       "\x02"
       "01.234\r"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.protocol);
    ScaleProcess scale({"--protocol", c.protocol});
    LineClient client(scale.port(), c.right);
    ASSERT_TRUE(client.ok());
    for (const LineFormat& wrong : {MakeLine(19200, "8N1"), MakeLine(2400, "8N1"),
                                    MakeLine(9600, "7O1"), MakeLine(9600, "8O1")}) {
      ASSERT_TRUE(client.SetLine(wrong));
      const std::string read = client.Ask(c.request, c.answer, 300);
      EXPECT_EQ(read.find(c.answer), std::string::npos) << testing::PrintToString(read);
    }
    ASSERT_TRUE(client.SetLine(c.right));
    EXPECT_EQ(client.Ask(c.request, c.answer), c.answer);
  }
}

// mt-sics at 7E1 rather than 8N1: the request's characters with odd parity reach the scale
// as errors, so "SI" never arrives; the scale stays silent.
TEST(VirtualScaleLine, EightBitPolledScaleIgnoresSevenBitRequests) {
  ScaleProcess scale({"--protocol", "mt-sics"});
  LineClient client(scale.port(), MakeLine(9600, "7E1"));
  ASSERT_TRUE(client.ok());
  EXPECT_EQ(client.Ask("SI\r\n", "S S", 300), "");
}

TEST(VirtualScaleLine, LineOptionsSetTheScalesLine) {
  const std::string frame = "ST,GS,+001.234 kg\r\n";
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--protocol", "cas", "--line", "19200,7E1"},
           {"--protocol", "cas", "--baud", "19200", "--framing", "7E1"},
           {"--framing", "7E1", "--protocol", "cas", "--baud", "19200"}}) {
    SCOPED_TRACE(testing::PrintToString(args));
    ScaleProcess scale(args);
    LineClient client(scale.port(), MakeLine(19200, "7E1"));
    ASSERT_TRUE(client.ok());
    const std::string read = client.ReadUntil(frame + frame);
    EXPECT_NE(read.find(frame + frame), std::string::npos) << testing::PrintToString(read);
    // The protocol's usual line is now the wrong one.
    ASSERT_TRUE(client.SetLine(MakeLine(9600, "8N1")));
    client.ReadFor(50);
    EXPECT_EQ(client.ReadFor(300).find(frame), std::string::npos);
  }
}

// Back to back at the line's speed: 2400 7E1 carries 2400 / 10 characters a second, so a
// client never gets more than that; a busy machine may deliver fewer.
TEST(VirtualScaleLine, ContinuousFramesKeepTheLinesPace) {
  using Clock = std::chrono::steady_clock;
  ScaleProcess scale({"--protocol", "ad"});
  const Clock::time_point opened = Clock::now();
  LineClient client(scale.port(), MakeLine(2400, "7E1"));
  ASSERT_TRUE(client.ok());
  const std::string read = client.ReadFor(1000);
  const auto held =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - opened).count();
  EXPECT_LE(read.size(), static_cast<std::size_t>(240 * held / 1000 + 20));
  EXPECT_GE(read.size(), 18u * 3);
}

}  // namespace
}  // namespace qel::e2e
