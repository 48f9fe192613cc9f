// Port names with options: what a good one sets, and that every bad one is refused with a
// message naming the option.
#include "named_port.h"

#include <gtest/gtest.h>

#include <string>

namespace qel {
namespace {

NamedPort Parse(std::string_view text) {
  std::string error;
  const std::optional<NamedPort> port = ParseNamedPort(text, error);
  EXPECT_TRUE(port.has_value()) << text << ": " << error;
  return port.value_or(NamedPort{});
}

std::string Error(std::string_view text) {
  std::string error;
  EXPECT_FALSE(ParseNamedPort(text, error).has_value()) << text;
  return error;
}

TEST(NamedPort, PlainNamesUseTheDefaultProtocol) {
  for (const std::string_view name : {"COM3", "/dev/ttyUSB0", "\\\\.\\COM12", "\\\\?\\COM12"}) {
    const NamedPort port = Parse(name);
    EXPECT_EQ(port.name, name);
    EXPECT_EQ(port.protocol, &DefaultProtocol());
    EXPECT_FALSE(port.has_options);
    EXPECT_FALSE(port.detect);
    EXPECT_EQ(port.Line(), DefaultProtocol().line);
    EXPECT_EQ(port.ProfileFor(*port.protocol).poll_ms, 0u);
  }
}

TEST(NamedPort, OptionsPickTheProtocolAndOverrideItsLine) {
  const NamedPort port =
      Parse("COM3?protocol=toledo-8217&baud=4800&framing=8n2&poll_ms=500&stable_ms=0");
  EXPECT_EQ(port.name, "COM3");
  ASSERT_NE(port.protocol, nullptr);
  EXPECT_EQ(port.protocol->id, "toledo-8217");
  EXPECT_TRUE(port.has_options);
  EXPECT_EQ(LineText(port.Line()), "4800 8N2");
  EXPECT_TRUE(port.Line().dtr);
  const PortProfile profile = port.ProfileFor(*port.protocol);
  EXPECT_EQ(profile.poll_ms, 500u);
  EXPECT_EQ(LineText(profile.line), "4800 8N2");
  EXPECT_EQ(profile.command_ms, port.protocol->answer_ms);
  EXPECT_EQ(port.stable_ms, 0u);

  const NamedPort own = Parse("/dev/ttyS0?protocol=mt-sics");
  EXPECT_EQ(LineText(own.Line()), "9600 8N1");
  EXPECT_EQ(own.ProfileFor(*own.protocol).poll_ms, 200u);
  EXPECT_FALSE(own.baud.has_value());

  // Only speed changed: the protocol's framing stays.
  EXPECT_EQ(LineText(Parse("COM1?protocol=ad&baud=9600").Line()), "9600 7E1");
  EXPECT_EQ(LineText(Parse("COM1?framing=7O1").Line()), "9600 7O1");
  EXPECT_EQ(Parse("COM1?baud=115200").protocol, &DefaultProtocol());
}

TEST(NamedPort, RawNamespaceQuestionMarkIsNoSeparator) {
  const NamedPort port = Parse("\\\\?\\COM12?protocol=cas");
  EXPECT_EQ(port.name, "\\\\?\\COM12");
  EXPECT_EQ(port.protocol->id, "cas");
}

TEST(NamedPort, AutoAsksForDetection) {
  const NamedPort port = Parse("COM4?protocol=auto&baud=2400");
  EXPECT_TRUE(port.detect);
  EXPECT_EQ(port.protocol, nullptr);
  EXPECT_EQ(port.Line().baud, 2400u);
}

// What detection finds fills the whole profile: the protocol's pace and answer window come
// with it, under the port's own options.
TEST(NamedPort, DetectionFillsTheWholeProfile) {
  const Protocol& sma = *FindProtocol("sma");
  const LineFormat found{2400, 7, 'E', 1};
  const PortProfile plain = Parse("COM4?protocol=auto").DetectedProfile(sma, found);
  EXPECT_EQ(plain.protocol, &sma);
  EXPECT_EQ(plain.line, found);
  EXPECT_EQ(plain.poll_ms, sma.poll_ms);
  EXPECT_EQ(plain.command_ms, sma.answer_ms);
  const PortProfile set =
      Parse("COM4?protocol=auto&poll_ms=300&command_ms=5000").DetectedProfile(sma, found);
  EXPECT_EQ(set.poll_ms, 300u);
  EXPECT_EQ(set.command_ms, 5000u);
}

TEST(NamedPort, BoundsOfTheTimes) {
  EXPECT_EQ(Parse("C?poll_ms=10").poll_ms, 10u);
  EXPECT_EQ(Parse("C?poll_ms=60000").poll_ms, 60000u);
  EXPECT_EQ(Parse("C?command_ms=100").command_ms, 100u);
  EXPECT_NE(Error("C?command_ms=99").find("'command_ms'"), std::string::npos);
  EXPECT_NE(Error("C?command_ms=60001").find("'command_ms'"), std::string::npos);
  EXPECT_EQ(Parse("C?stable_ms=60000").stable_ms, 60000u);
  EXPECT_NE(Error("C?poll_ms=9").find("'poll_ms'"), std::string::npos);
  EXPECT_NE(Error("C?poll_ms=60001").find("'poll_ms'"), std::string::npos);
  EXPECT_NE(Error("C?stable_ms=60001").find("'stable_ms'"), std::string::npos);
  EXPECT_NE(Error("C?stable_ms=99999999999999999999").find("'stable_ms'"), std::string::npos);
}

TEST(NamedPort, BadOptionsAreRefusedByName) {
  EXPECT_EQ(Error("COM3?framing=9N1"),
            "port option 'framing' takes data bits, parity and stop bits such as 8N1 or 7E1, "
            "not '9N1'");
  EXPECT_EQ(Error("COM3?speed=9600"),
            "unknown port option 'speed' (known: protocol, baud, framing, poll_ms, stable_ms, "
            "command_ms)");
  EXPECT_EQ(Error("COM3?baud=fast"),
            "port option 'baud' takes a speed such as 9600 (1200 to 115200), not 'fast'");
  EXPECT_EQ(Error("COM3?baud=9600&baud=2400"), "port option 'baud' is given twice");
  EXPECT_EQ(Error("COM3?baud="), "port option 'baud' needs a value");
  EXPECT_EQ(Error("COM3?baud"), "port option 'baud' needs a value");
  EXPECT_EQ(Error(""), "the port name is empty");
  EXPECT_EQ(Error("?protocol=cas"), "the port name is empty");

  const std::string protocol = Error("COM3?protocol=toledo");
  EXPECT_NE(protocol.find("port option 'protocol'"), std::string::npos);
  EXPECT_NE(protocol.find("toledo-continuous"), std::string::npos);
  EXPECT_NE(protocol.find("not 'toledo'"), std::string::npos);

  for (const std::string_view bad :
       {"C?baud=9601", "C?baud=-9600", "C?baud=+9600", "C?baud=0", "C?framing=8N3", "C?framing=7M1",
        "C?framing=8N", "C?framing=8N11", "C?framing=5N1", "C?poll_ms=1e3", "C?poll_ms= 100",
        "C?protocol=QEL", "C?=5", "C?baud=9600&&framing=7E1"}) {
    EXPECT_FALSE(Error(bad).empty()) << bad;
  }
}

TEST(LineText, WritesSpeedAndFraming) {
  EXPECT_EQ(LineText(LineFormat{}), "9600 8N1");
  EXPECT_EQ(LineText(LineFormat{2400, 7, 'O', 2}), "2400 7O2");
}

}  // namespace
}  // namespace qel
