// The virtual scale speaks each protocol byte for byte as the driver's decoders expect it,
// read through the termios back end at the protocol's own line.
#include <stdexcept>
#include <string>
#include <vector>

#include "corpus.h"
#include "gtest/gtest.h"
#include "line_client.h"
#include "protocol.h"
#include "scale_process.h"

namespace qel::e2e {
namespace {

using namespace std::string_literals;

const LineFormat k9600_8N1 = MakeLine(9600, "8N1");
const LineFormat k9600_7E1 = MakeLine(9600, "7E1");
const LineFormat k2400_7E1 = MakeLine(2400, "7E1");

// A scale of `protocol` with the state commands run, and a client on `line`.
struct Bench {
  Bench(const std::string& protocol, const LineFormat& line,
        const std::vector<std::string>& commands = {})
      : scale({"--protocol", protocol}), client(scale.port(), line) {
    for (const std::string& command : commands) EXPECT_EQ(scale.Command(command), "ok") << command;
  }
  ScaleProcess scale;
  LineClient client;
};

// Two frames back to back: the scale sends whole frames, one after the other.
void ExpectStreams(Bench& bench, const std::string& frame) {
  ASSERT_TRUE(bench.client.ok());
  const std::string read = bench.client.ReadUntil(frame + frame);
  EXPECT_NE(read.find(frame + frame), std::string::npos) << testing::PrintToString(read);
}

std::string WithChecksum(const std::string& frame) {
  unsigned sum = 0;
  for (const char c : frame) sum += static_cast<unsigned char>(c);
  return frame + static_cast<char>((128 - sum % 128) % 128);
}

TEST(VirtualScaleContinuous, SendsTheExampleFramesAtTheProtocolsLine) {
  struct Case {
    const char* protocol;
    LineFormat line;
    std::string frame;
  };
  const Case cases[] = {
      {"qel", k9600_8N1, "=432.100"},
      {"toledo-continuous", k9600_7E1, WithChecksum("\x02-0 001234000000\r")},
      {"ad", k2400_7E1, "ST,+0001.234  kg\r\n"},
      {"cas", k9600_8N1, "ST,GS,+001.234 kg\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.protocol);
    Bench bench(c.protocol, c.line);
    ExpectStreams(bench, c.frame);
  }
}

TEST(VirtualScaleContinuous, ToledoStatusWordsCarryPointSignNetMotionUnitAndRange) {
  struct Case {
    std::vector<std::string> commands;
    std::string body;  // STX .. CR without the checksum
  };
  const Case cases[] = {
      // SWA: point code 4 (XXXX.XX); SWB kg; weight 12.50 as 001250.
      {{"decimals 2", "weight 12.5"}, "\x02,0 001250000000\r"},
      {{"decimals 0", "weight 120"}, "\x02*0 000120000000\r"},
      // Net (bit 0) with the tare in its own field; motion (bit 3).
      {{"tare 0.5", "motion on"}, "\x02-9 000734000500\r"},
      // Negative (bit 1); pounds: SWB bit 4 clear, SWC 0.
      {{"weight -1.5", "unit lb"}, "\x02-\" 001500000000\r"},
      // Grams and ounces through SWC; SWB's unit bit is for kilograms only.
      {{"unit g"}, "\x02- !001234000000\r"},
      {{"unit oz"}, "\x02- #001234000000\r"},
      // A checksum may equal STX: a real scale sends it so, and so does this one.
      {{"weight 69.999", "motion on"}, "\x02-8 069999000000\r"},
      // Out of range (bit 2), and below zero with the sign (bits 1 and 2).
      {{"condition overload"}, "\x02-4 001234000000\r"},
      {{"condition under-zero"}, "\x02-6 001234000000\r"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.body));
    Bench bench("toledo-continuous", k9600_7E1, c.commands);
    ExpectStreams(bench, WithChecksum(c.body));
  }
}

TEST(VirtualScaleContinuous, ToledoChecksumMakesTheSumZeroAndCanBeLeftOut) {
  Bench bench("toledo-continuous", k9600_7E1, {"weight 3.21"});
  std::string read = bench.client.ReadUntil("\r", 3000);
  read += bench.client.ReadFor(100);
  const std::size_t start = read.find('\x02');
  ASSERT_NE(start, std::string::npos);
  constexpr std::size_t kFrameBytes = 18;  // STX, 3 status words, 12 digits, CR, checksum
  ASSERT_GE(read.size(), start + kFrameBytes);
  unsigned sum = 0;
  for (std::size_t i = start; i < start + kFrameBytes; ++i) {
    sum += static_cast<unsigned char>(read[i]);
  }
  EXPECT_EQ(sum % 128, 0u) << testing::PrintToString(read.substr(start, kFrameBytes));

  // Some frames' checksum is STX itself; a splitter must not take it for the next frame.
  EXPECT_EQ(WithChecksum("\x02-8 069999000000\r").back(), '\x02');

  ASSERT_EQ(bench.scale.Command("checksum off"), "ok");
  ExpectStreams(bench, "\x02-0 003210000000\r");
}

TEST(VirtualScaleContinuous, CommaFramesShowMotionNetUnitsAndRange) {
  struct Case {
    const char* protocol;
    std::vector<std::string> commands;
    std::string frame;
  };
  const Case cases[] = {
      {"ad", {"motion on"}, "US,+0001.234  kg\r\n"},
      {"ad", {"weight -0.5", "decimals 2"}, "ST,-00000.50  kg\r\n"},
      {"ad", {"decimals 0", "weight 1234", "unit g"}, "ST,+00001234   g\r\n"},
      {"ad", {"unit lb"}, "ST,+0001.234  lb\r\n"},
      {"ad", {"tare 0.234"}, "ST,+0001.000  kg\r\n"},
      {"ad", {"condition overload"}, "OL,+99999999  kg\r\n"},
      {"ad", {"condition under-zero"}, "OL,-99999999  kg\r\n"},
      {"cas", {"motion on"}, "US,GS,+001.234 kg\r\n"},
      {"cas", {"tare 0.5"}, "ST,NT,+000.734 kg\r\n"},
      {"cas", {"weight -1.5", "unit oz"}, "ST,GS,-001.500 oz\r\n"},
      {"cas", {"condition overload"}, "OL,GS,+9999999 kg\r\n"},
      {"cas", {"condition under-zero"}, "OL,GS,-9999999 kg\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.frame));
    Bench bench(c.protocol, c.protocol == "ad"s ? k2400_7E1 : k9600_8N1, c.commands);
    ExpectStreams(bench, c.frame);
  }
}

// A condition the frames cannot say leaves the line quiet, and the stream resumes after it.
TEST(VirtualScaleContinuous, BusyScaleIsQuietUntilItRecovers) {
  for (const char* protocol : {"toledo-continuous", "cas"}) {
    SCOPED_TRACE(protocol);
    Bench bench(protocol, protocol == "cas"s ? k9600_8N1 : k9600_7E1, {"condition busy"});
    EXPECT_EQ(bench.client.ReadFor(300), "");
    ASSERT_EQ(bench.scale.Command("condition normal"), "ok");
    EXPECT_FALSE(bench.client.ReadUntil("\r", 3000).empty());
  }
}

TEST(VirtualScalePolled, AnswersOnlyWhenAsked) {
  const struct {
    const char* protocol;
    std::string request;
    std::string answer;
  } cases[] = {
      {"toledo-8217", "W",
       "\x02"
       "01.234\r"},
      {"mt-sics", "SI\r\n", "S S      1.234 kg\r\n"},
      {"sma", "\nW\r", "\n 1G       1.234kg \r"},
      {"nci", "W\r", "\n  1.234kg\r\n0p0\r\x03"},
      {"cas-ecr", "\x05\x11", "\x06\x01\x02S 01.234kg\x65\x03\x04"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.protocol);
    const bool seven = c.protocol == "toledo-8217"s || c.protocol == "nci"s;
    Bench bench(c.protocol, seven ? k9600_7E1 : k9600_8N1);
    ASSERT_TRUE(bench.client.ok());
    EXPECT_EQ(bench.client.ReadFor(300), "");
    EXPECT_EQ(bench.client.Ask(c.request, c.answer), c.answer);
    EXPECT_EQ(bench.client.Ask(c.request + c.request, c.answer + c.answer), c.answer + c.answer);
    // ENQ and DC1 are two requests, each answered on its own.
    if (c.request.size() < 2 || c.protocol == "cas-ecr"s) continue;
    // A request cut in two still counts once complete.
    EXPECT_EQ(bench.client.Ask(c.request.substr(0, 1), c.answer, 200), "");
    EXPECT_EQ(bench.client.Ask(c.request.substr(1), c.answer), c.answer);
  }
}

// A client that opens the port and asks at once, before the scale has had a look at the
// port, gets its answer: the request is not taken for something written into the void.
TEST(VirtualScalePolled, AnswersARequestWrittenRightAfterTheOpen) {
  ScaleProcess scale({"--protocol", "mt-sics"});
  const std::string answer = "S S      1.234 kg\r\n";
  for (int i = 0; i < 30; ++i) {
    LineClient client(scale.port(), k9600_8N1);
    ASSERT_TRUE(client.ok());
    ASSERT_TRUE(client.Send("SI\r\n"));
    EXPECT_EQ(client.ReadUntil(answer), answer) << "open " << i;
  }
}

// Each step: state commands, then a request and its exact answer.
struct Step {
  std::vector<std::string> commands;
  std::string request;
  std::string answer;  // "" when the scale must stay silent
};

void RunSteps(const char* protocol, const LineFormat& line, const std::vector<Step>& steps) {
  Bench bench(protocol, line);
  ASSERT_TRUE(bench.client.ok());
  for (const Step& step : steps) {
    SCOPED_TRACE(testing::PrintToString(step.commands) + " " +
                 testing::PrintToString(step.request));
    for (const std::string& command : step.commands) {
      ASSERT_EQ(bench.scale.Command(command), "ok") << command;
    }
    const std::string read =
        bench.client.Ask(step.request, step.answer, step.answer.empty() ? 300 : 3000);
    EXPECT_EQ(read, step.answer);
  }
}

TEST(VirtualScalePolled, ToledoWeightStatusAndZero) {
  const std::string kWeight =
      "\x02"
      "01.234\r";
  RunSteps("toledo-8217", k9600_7E1,
           {
               {{"motion on"}, "W", "\x02?A\r"},
               {{}, "Z", "\x02?I\r"},  // refused in motion: no center of zero, outside capture
               {{"motion off"}, "Z", "\x02?P\r"},  // done: center of zero
               {{},
                "W",
                "\x02"
                "00.000\r"},
               {{"weight 1.234", "commands refuse"}, "Z", "\x02?H\r"},
               {{}, "W", kWeight},
               {{"commands ignore"}, "Z", ""},
               {{}, "W", kWeight},
               {{"condition overload"}, "W", "\x02?B\r"},
               {{"condition under-zero"}, "W", "\x02?D\r"},
               {{"condition busy"}, "W", "\x02?H\r"},
               {{"condition normal", "weight -1"}, "W", "\x02?D\r"},  // the record has no sign
               {{"decimals 2", "weight 123.45"},
                "W",
                "\x02"
                "123.45\r"},
               {{"decimals 0", "weight 120"},
                "W",
                "\x02"
                "000120\r"},
               {{"tare 20"},  // net: "N" after the weight
                "W",
                "\x02"
                "000100N\r"},
               {{"motion on"}, "W", "\x02?a\r"},  // bit 5: net
           });
}

TEST(VirtualScalePolled, MtSicsWeightZeroTareAndErrors) {
  const std::string kSi = "SI\r\n";
  RunSteps("mt-sics", k9600_8N1,
           {
               {{"motion on"}, kSi, "S D      1.234 kg\r\n"},
               {{}, "Z\r\n", "Z I\r\n"},  // refused in motion
               {{"motion off"}, "T\r\n", "T S      1.234 kg\r\n"},
               {{}, kSi, "S S      0.000 kg\r\n"},
               {{}, "Z\r\n", "Z A\r\n"},
               {{"weight 2"}, kSi, "S S      2.000 kg\r\n"},
               {{"commands refuse"}, "Z\r\n", "Z I\r\n"},
               {{}, "T\r\n", "T I\r\n"},
               {{"commands ignore"}, "Z\r\n", ""},
               {{}, "T\r\n", ""},
               {{}, kSi, "S S      2.000 kg\r\n"},
               {{"commands ack", "condition overload"}, kSi, "S +\r\n"},
               {{}, "Z\r\n", "Z +\r\n"},
               {{}, "T\r\n", "T +\r\n"},
               {{"condition under-zero"}, kSi, "S -\r\n"},
               {{}, "Z\r\n", "Z -\r\n"},
               {{"condition busy"}, kSi, "S I\r\n"},
               {{"condition normal", "weight -1.5"}, kSi, "S S     -1.500 kg\r\n"},
               {{"unit lb"}, kSi, "S S     -1.500 lb\r\n"},
               {{"unit g", "decimals 0", "weight 1500"}, kSi, "S S       1500 g\r\n"},
               {{}, "XY\r\n", "ES\r\n"},
           });
}

TEST(VirtualScalePolled, SmaFramesZeroAndTare) {
  const std::string kW = "\nW\r";
  RunSteps("sma", k9600_8N1,
           {
               {{"motion on"}, kW, "\n 1GM      1.234kg \r"},
               {{}, "\nZ\r", "\nE1GM      1.234kg \r"},  // refused in motion: zero error
               {{"motion off"}, "\nT\r", "\n 1N       0.000kg \r"},
               {{}, kW, "\n 1N       0.000kg \r"},
               {{}, "\nZ\r", "\nZ1G       0.000kg \r"},
               {{"weight 2", "commands refuse"}, "\nZ\r", "\nE1G       2.000kg \r"},
               {{}, "\nT\r", "\nT1G       2.000kg \r"},
               {{"commands ignore"}, "\nZ\r", ""},
               {{"commands ack", "condition overload"}, kW, "\nO1G       2.000kg \r"},
               {{"condition under-zero"}, kW, "\nU1G       2.000kg \r"},
               {{"condition busy"}, kW, "\nI1G       2.000kg \r"},
               {{"condition normal", "weight -0.25", "unit lb"}, kW, "\n 1G      -0.250lb \r"},
               {{"unit g", "decimals 0", "weight 1500"}, kW, "\n 1G        1500g  \r"},
           });
}

TEST(VirtualScalePolled, NciWeightStatusAndZero) {
  const std::string kW = "W\r";
  RunSteps("nci", k9600_7E1,
           {
               {{"motion on"}, kW, "\n  1.234kg\r\n1p0\r\x03"},
               {{}, "Z\r", "\n1p0\r\x03"},  // refused in motion: not at zero
               {{"motion off"}, "Z\r", "\n2p0\r\x03"},
               {{}, kW, "\n  0.000kg\r\n2p0\r\x03"},
               {{"weight 2", "tare 0.5"}, "S\r", "\n0p4\r\x03"},
               {{}, kW, "\n  1.500kg\r\n0p4\r\x03"},
               {{"tare 0", "commands ignore"}, "Z\r", ""},
               {{"commands ack", "condition overload"}, kW, "\n^^^^^^^kg\r\n0r0\r\x03"},
               {{"condition under-zero"}, kW, "\n_______kg\r\n0q0\r\x03"},
               {{"condition busy"}, kW, "\n-------kg\r\n0p0\r\x03"},
               {{"condition normal", "weight -0.25", "unit lb"}, kW, "\n -0.250lb\r\n0p0\r\x03"},
               {{}, "H\r", "\n?\r\x03"},
           });
}

TEST(VirtualScalePolled, CasEcrStatesAndSigns) {
  RunSteps("cas-ecr", k9600_8N1,
           {
               {{"motion on"}, "\x11", "\x01\x02U 01.234kgc\x03\x04"},
               {{"motion off", "weight -0.5"}, "\x11", "\x01\x02S-00.500kgi\x03\x04"},
               {{"condition overload"}, "\x11", "\x01\x02SF999999kg\x19\x03\x04"},
               {{"condition under-zero"}, "\x11", "\x15"},
               {{"condition normal", "unit g", "decimals 1", "weight 1275"},
                "\x05\x11",
                "\x06\x01\x02S 1275.0 g+\x03\x04"},
           });
}

// The corpus replayed: every documented record of every protocol goes over the line at the
// protocol's own settings and is decoded as the corpus says.
std::vector<corpus::Record> Replayed(const corpus::Corpus& records) {
  std::vector<corpus::Record> sent;
  for (const corpus::Record& record : records.records) {
    if (record.sent && !record.kind.empty()) sent.push_back(record);
  }
  return sent;
}

std::string_view KindName(ScaleFrame::Kind kind) {
  static constexpr std::string_view kNames[] = {
      "invalid", "weight", "motion", "overload", "under-zero", "busy", "ack", "refused", "none"};
  return kNames[static_cast<int>(kind)];
}

std::vector<ScaleFrame> Decoded(const Protocol& protocol, std::string_view stream) {
  std::vector<ScaleFrame> frames;
  while (!stream.empty()) {
    std::string_view frame;
    const std::size_t used = protocol.split(stream, frame);
    if (used == 0) break;
    if (!frame.empty()) frames.push_back(protocol.decode(frame));
    stream.remove_prefix(used);
  }
  return frames;
}

TEST(VirtualScaleReplay, EveryDocumentedRecordReachesTheReader) {
  for (const Protocol* protocol : Protocols()) {
    SCOPED_TRACE(std::string(protocol->id));
    std::string error;
    const auto records = corpus::LoadCorpus(corpus::CorpusPath(protocol->id), error);
    ASSERT_TRUE(records.has_value()) << error;
    const std::vector<corpus::Record> sent = Replayed(*records);
    ASSERT_FALSE(sent.empty());
    ScaleProcess scale({"--protocol", "replay:" + corpus::CorpusPath(protocol->id)});
    LineClient client(scale.port(), protocol->line);
    ASSERT_TRUE(client.ok());
    std::string stream;
    if (protocol->polled()) {
      for (const corpus::Record& record : sent) {
        stream += client.Ask(protocol->request, record.bytes);
      }
    } else {
      // Two rounds: the first record may be caught midway.
      std::string all;
      for (const corpus::Record& record : sent) all += record.bytes;
      stream = client.ReadUntil(all + sent.front().bytes, 10000);
    }
    const std::vector<ScaleFrame> frames = Decoded(*protocol, stream);
    for (const corpus::Record& record : sent) {
      bool found = false;
      for (const ScaleFrame& frame : frames) {
        found = found || (KindName(frame.kind) == record.kind && frame.value == record.value &&
                          WeightUnitName(frame.unit) == record.unit &&
                          frame.stable == record.stable && frame.net == record.net);
      }
      EXPECT_TRUE(found) << corpus::Escaped(record.bytes);
    }
  }
}

// Values no display shows and words the commands do not know are refused, the state kept.
TEST(VirtualScaleCommands, RefusedValuesLeaveTheScaleAsItWas) {
  Bench bench("mt-sics", k9600_8N1);
  for (const char* refused :
       {"weight 12345678.9", "weight x", "weight nan", "tare 1e20", "decimals 6", "motion maybe",
        "condition broken", "unit st", "commands later", "checksum 1", "mode sideways"}) {
    EXPECT_EQ(bench.scale.Command(refused).rfind("error: ", 0), 0u) << refused;
  }
  EXPECT_EQ(bench.client.Ask("SI\r\n", "S S      1.234 kg\r\n"), "S S      1.234 kg\r\n");
  // The driver's own scale keeps its message.
  ScaleProcess qel;
  EXPECT_EQ(qel.Command("weight 12345"),
            "error: weight must be a number that fits in 7 characters");
}

TEST(VirtualScaleCommands, BadOptionsEndTheStartWithoutAPort) {
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"--protocol", "nonesuch"},
                                             {"--line", "9600"},
                                             {"--line", "9600,9N1"},
                                             {"--baud", "14400"},
                                             {"--framing", "8N3"},
                                             {"--protocol", "cas", "--weight", "123456789"},
                                             {"--decimals", "9"}}) {
    EXPECT_THROW(ScaleProcess scale(args), std::runtime_error) << testing::PrintToString(args);
  }
}

}  // namespace
}  // namespace qel::e2e
