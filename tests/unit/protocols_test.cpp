// Each protocol against the records its scales send: weights, motion, faults, units, net and
// tare, checksums, command answers, and the cuts the splitter makes in a live stream.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <iterator>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

#include "corpus.h"
#include "module_api.h"
#include "named_port.h"
#include "protocol.h"
#include "protocol_seeds.h"
#include "protocol_test_support.h"
#include "weight_stream.h"

namespace qel {
namespace {

using testing::Checksum7;
using testing::DecodeAll;
using testing::ProtocolById;
using testing::SplitAll;
using Kind = ScaleFrame::Kind;

ScaleFrame Decode(std::string_view id, std::string_view frame) {
  return ProtocolById(id).decode(frame);
}

Kind KindOf(std::string_view id, std::string_view frame) { return Decode(id, frame).kind; }

Kind Reply(std::string_view id, ScaleCommand command, std::string_view frame) {
  return ProtocolById(id).reply(command, frame);
}

Kind KindNamed(const std::string& name) {
  static const std::pair<std::string_view, Kind> kNames[] = {
      {"weight", Kind::kWeight},        {"motion", Kind::kMotion}, {"overload", Kind::kOverload},
      {"under-zero", Kind::kUnderZero}, {"busy", Kind::kBusy},     {"ack", Kind::kAcknowledged},
      {"refused", Kind::kRefused},      {"none", Kind::kNoWeight}};
  for (const auto& [text, kind] : kNames) {
    if (text == name) return kind;
  }
  throw std::invalid_argument("no kind " + name);
}

corpus::Corpus CorpusOf(std::string_view id) {
  std::string error;
  std::optional<corpus::Corpus> loaded = corpus::LoadCorpus(corpus::CorpusPath(id), error);
  if (!loaded) throw std::runtime_error(error);
  return std::move(*loaded);
}

// What the record says: its frame, the answers it gives, and the split cutting it whole.
void ExpectAsDocumented(const Protocol& protocol, const corpus::Record& record) {
  const std::string where = std::string(protocol.id) + ".txt line " + std::to_string(record.line) +
                            " \"" + corpus::Escaped(record.bytes) + "\"";
  if (!record.kind.empty()) {
    const ScaleFrame frame = protocol.decode(record.bytes);
    EXPECT_EQ(frame.kind, KindNamed(record.kind)) << where;
    EXPECT_EQ(frame.value, record.value) << where;
    EXPECT_EQ(WeightUnitName(frame.unit), record.unit) << where;
    EXPECT_EQ(frame.stable, record.stable) << where;
    EXPECT_EQ(frame.net, record.net) << where;
    EXPECT_EQ(frame.tare, record.tare) << where;
  }
  if (!record.zero.empty()) {
    EXPECT_EQ(protocol.reply(ScaleCommand::kZero, record.bytes), KindNamed(record.zero)) << where;
  }
  if (!record.tare_reply.empty()) {
    EXPECT_EQ(protocol.reply(ScaleCommand::kTare, record.bytes), KindNamed(record.tare_reply))
        << where;
  }
  const auto frames = SplitAll(protocol, record.bytes + record.bytes);
  ASSERT_FALSE(frames.empty()) << where;
  EXPECT_EQ(frames[0], record.bytes) << where;
}

TEST(Corpus, EveryDocumentedRecordReadsAsItsManualSays) {
  for (const Protocol* protocol : Protocols()) {
    const corpus::Corpus records = CorpusOf(protocol->id);
    EXPECT_FALSE(records.records.empty()) << protocol->id;
    for (const corpus::Source& source : records.sources) {
      EXPECT_FALSE(source.address.empty() || source.page.empty()) << source.name;
    }
    for (const corpus::Record& record : records.records) ExpectAsDocumented(*protocol, record);
  }
}

TEST(Corpus, TheFuzzSeedsAreTheCorpusRecords) {
  const std::string folder = std::string(QEL_CORPUS_DIR) + "/../fuzz/protocol_corpus/";
  for (const auto& [name, bytes] : fuzzing::ProtocolSeeds()) {
    std::ifstream file(folder + name, std::ios::binary);
    const std::string stored((std::istreambuf_iterator<char>(file)),
                             std::istreambuf_iterator<char>());
    EXPECT_EQ(stored, bytes) << name << ": run protocol_seeds tests/fuzz/protocol_corpus";
  }
}

TEST(Corpus, TheReaderRefusesABrokenFile) {
  const std::string source = "source m https://example.org/m \"p.1\"\n";
  std::string error;
  const auto good = corpus::ParseCorpus(
      "x", source + "# note\nrecord \"A\\x02\\r\\n\\\"\" kind=busy source=m\n", error);
  ASSERT_TRUE(good.has_value()) << error;
  EXPECT_EQ(good->records.at(0).bytes, "A\x02\r\n\"");
  EXPECT_EQ(good->records.at(0).source.address, "https://example.org/m");
  EXPECT_EQ(good->records.at(0).line, 3u);
  for (const std::string line :
       {"record \"A\" kind=busy source=n", "record \"A\\q\" kind=busy source=m",
        "record \"A kind=busy source=m", "record \"A\" kind=heavy source=m",
        "record \"A\" source=m", "record \"A\" stable=maybe kind=busy source=m",
        "record \"A\" colour=red kind=busy source=m", "frame \"A\"", "source m x"}) {
    error.clear();
    EXPECT_FALSE(corpus::ParseCorpus("x", source + line + "\n", error).has_value()) << line;
    EXPECT_EQ(error.rfind("line 2: ", 0), 0u) << error;
  }
  EXPECT_EQ(corpus::Escaped("a\x02\"\r\n"), "a\\x02\\\"\\r\\n");
}

TEST(ProtocolTable, ListsEveryProtocolOnceWithTheDriversOwnFirst) {
  const auto& table = Protocols();
  ASSERT_EQ(table.size(), 10u);
  EXPECT_EQ(table[0], &DefaultProtocol());
  EXPECT_EQ(DefaultProtocol().id, "qel");
  for (const Protocol* protocol : table) {
    EXPECT_EQ(FindProtocol(protocol->id), protocol);
    EXPECT_NE(protocol->split, nullptr);
    EXPECT_NE(protocol->decode, nullptr);
    EXPECT_NE(protocol->reply, nullptr) << protocol->id;
    EXPECT_EQ(protocol->polled(), protocol->poll_ms != 0) << protocol->id;
  }
  EXPECT_EQ(FindProtocol("auto"), nullptr);
  EXPECT_EQ(FindProtocol("QEL"), nullptr);
  EXPECT_EQ(WeightUnitName(WeightUnit::kG), "g");
  EXPECT_EQ(WeightUnitName(WeightUnit::kNone), "");
  EXPECT_EQ(ScaleCommandName(ScaleCommand::kTare), "tare");
}

TEST(ProtocolTable, DefaultLinesAndRequests) {
  EXPECT_EQ(LineText(ProtocolById("toledo-8217").line), "9600 7E1");
  EXPECT_EQ(LineText(ProtocolById("ad").line), "2400 7E1");
  EXPECT_EQ(LineText(ProtocolById("cas").line), "9600 8N1");
  EXPECT_EQ(ProtocolById("sma").request, "\nW\r");
  EXPECT_EQ(ProtocolById("mt-sics").tare, "T\r\n");
  EXPECT_TRUE(ProtocolById("toledo-8217").tare.empty());
  EXPECT_FALSE(ProtocolById("cas").polled());
  EXPECT_EQ(ProtocolById("nci").request, "W\r");
  EXPECT_EQ(ProtocolById("nci").zero, "Z\r");
  EXPECT_TRUE(ProtocolById("nci").tare.empty());
  EXPECT_EQ(ProtocolById("mt-sics").answer_ms, 4000u);
  EXPECT_EQ(ProtocolById("cas-ecr").request, "\x05\x11");
}

TEST(LineSettingsFor, TheDriversOwnLineIsUnchangedAndOthersSetFramingAndModemLines) {
  const LineSettings own = ModuleAPI::LineSettingsFor(DefaultProtocol().line);
  const LineSettings driver = ModuleAPI::MakeLineSettings(9600);
  EXPECT_EQ(own.Flags, driver.Flags);
  EXPECT_EQ(own.BaudRate, 9600u);
  EXPECT_EQ(own.ByteSize, 8);
  EXPECT_EQ(own.Parity, 0);

  const LineSettings even = ModuleAPI::LineSettingsFor(ProtocolById("ad").line);
  EXPECT_EQ(even.BaudRate, 2400u);
  EXPECT_EQ(even.ByteSize, 7);
  EXPECT_EQ(even.Parity, 2);
  EXPECT_EQ(even.StopBits, 0);
  EXPECT_NE(DtrControl(even.Flags), kLineControlDisable);
  EXPECT_NE(RtsControl(even.Flags), kLineControlDisable);
  EXPECT_TRUE(DcbFlag(even.Flags, kDcbBinary));

  const LineSettings odd = ModuleAPI::LineSettingsFor(LineFormat{4800, 8, 'O', 2, false, true});
  EXPECT_EQ(odd.Parity, 1);
  EXPECT_EQ(odd.StopBits, 2);
  EXPECT_EQ(DtrControl(odd.Flags), kLineControlDisable);
  EXPECT_NE(RtsControl(odd.Flags), kLineControlDisable);
}

TEST(QelProtocol, DecodesAsTheDriverAlwaysHas) {
  const NumberFormat point{".", true};
  for (const std::string frame :
       {"=432.100", "=432.1  ", "=0      ", "=5.0-   ", "=abc.def", "=00001  ", "=9999999"}) {
    const ScaleFrame decoded = Decode("qel", frame);
    const DecodedFrame driver = DecodeFrame(frame, point);
    EXPECT_EQ(decoded.kind == Kind::kWeight, driver.ok) << frame;
    EXPECT_EQ(decoded.value, driver.value) << frame;
    EXPECT_FALSE(decoded.stable.has_value());
    EXPECT_EQ(decoded.unit, WeightUnit::kNone);
  }
  EXPECT_EQ(Decode("qel", "=432.100").value, "1.234");
  EXPECT_EQ(KindOf("qel", "=5.0-   "), Kind::kInvalid);  // no negative weights
}

TEST(QelProtocol, SplitsTheStreamExactlyAsFrameSplitter) {
  // Noise, cut frames, back-to-back frames and a frame split over the end.
  const std::string stream =
      "xx=432.100=43=432.100\r\n=  1.0  =432.100=432.100=4=12345678==1234567=4321";
  FrameSplitter splitter;
  std::vector<std::string> expected;
  splitter.Feed(reinterpret_cast<const std::uint8_t*>(stream.data()), stream.size(), expected);
  EXPECT_EQ(SplitAll(DefaultProtocol(), stream), expected);
}

TEST(Toledo8217, WeightAnswersAndStatusRecords) {
  const ScaleFrame weight = Decode("toledo-8217",
                                   "\x02"
                                   "01.234\r");
  EXPECT_EQ(weight.kind, Kind::kWeight);
  EXPECT_EQ(weight.value, "1.234");
  EXPECT_EQ(weight.stable, true);
  EXPECT_EQ(weight.unit, WeightUnit::kNone);
  EXPECT_FALSE(weight.net.has_value());
  EXPECT_EQ(Decode("toledo-8217",
                   "\x02"
                   "123.45\r")
                .value,
            "123.45");
  EXPECT_EQ(Decode("toledo-8217",
                   "\x02"
                   "0120\r")
                .value,
            "120");
  EXPECT_EQ(Decode("toledo-8217",
                   "\x02"
                   "0000.00\r")
                .value,
            "0.00");

  // Status byte: 0x40 always set, the parity bit ignored.
  const ScaleFrame motion = Decode("toledo-8217", "\x02?A\r");
  EXPECT_EQ(motion.kind, Kind::kMotion);
  EXPECT_EQ(motion.stable, false);
  EXPECT_EQ(KindOf("toledo-8217", "\x02?C\r"), Kind::kOverload);  // motion and over
  EXPECT_EQ(KindOf("toledo-8217", "\x02?D\r"), Kind::kUnderZero);
  EXPECT_EQ(KindOf("toledo-8217", "\x02?P\r"), Kind::kNoWeight);  // bare: the weight stands
  EXPECT_EQ(KindOf("toledo-8217", "\x02?H\r"), Kind::kBusy);      // outside capture range
  EXPECT_EQ(KindOf("toledo-8217", "\x02?\xC2\r"), Kind::kOverload);
  EXPECT_EQ(KindOf("toledo-8217", "\x02?\x21\r"), Kind::kInvalid);  // bit 6 clear
}

TEST(Toledo8217, RejectsRecordsOutsideTheGrammar) {
  for (const std::string frame : {"\x02"
                                  "123\r",
                                  "\x02"
                                  "12345678\r",
                                  "\x02"
                                  "1.2.3\r",
                                  "\x02"
                                  "-1.234\r",
                                  "\x02"
                                  " 1.234\r",
                                  "\x02"
                                  "1.234 \r",
                                  "\x02"
                                  "1234.\r",
                                  "\x02"
                                  ".1234\r",
                                  "01.234\r",
                                  "\x02"
                                  "01.234",
                                  "\x02"
                                  "01,234\r",
                                  "\x02"
                                  "?\r",
                                  "\x02"
                                  "?AB\r"}) {
    EXPECT_EQ(KindOf("toledo-8217", frame), Kind::kInvalid) << frame;
  }
}

TEST(Toledo8217, ZeroIsAnsweredWithAStatusRecord) {
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kZero, "\x02?P\r"), Kind::kAcknowledged);
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kZero, "\x02?X\r"), Kind::kAcknowledged);
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kZero, "\x02?Q\r"), Kind::kRefused);  // motion
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kZero, "\x02?T\r"), Kind::kRefused);  // under
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kZero, "\x02?@\r"), Kind::kRefused);  // not at 0
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kZero,
                  "\x02"
                  "01.234\r"),
            Kind::kInvalid);
  EXPECT_EQ(Reply("toledo-8217", ScaleCommand::kTare, "\x02?P\r"), Kind::kInvalid);
}

TEST(Toledo8217, SplitDropsNoiseAndCutRecords) {
  const auto frames = SplitAll(ProtocolById("toledo-8217"),
                               "junk\x02"
                               "01.2\x02"
                               "01.234\r\r\x02?P\r\x02"
                               "99");
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_EQ(frames[0],
            "\x02"
            "01.234\r");
  EXPECT_EQ(frames[1], "\x02?P\r");
}

// STX, status words, weight and tare digits, CR, and the checksum when asked for.
std::string Continuous(char swa, char swb, char swc, std::string_view weight, std::string_view tare,
                       bool checksum) {
  std::string frame =
      std::string("\x02") + swa + swb + swc + std::string(weight) + std::string(tare) + "\r";
  if (checksum) frame += Checksum7(frame);
  return frame;
}

// SWA 0x2D: three decimals, increment 1. SWB 0x30: kg, gross, positive, at rest.
constexpr char kThreeDecimals = 0x2D;
constexpr char kKgGross = 0x30;

TEST(ToledoContinuous, StatusWordsGiveThePointSignRangeMotionAndUnit) {
  const ScaleFrame gross = Decode(
      "toledo-continuous", Continuous(kThreeDecimals, kKgGross, 0x20, "001234", "000000", true));
  EXPECT_EQ(gross.kind, Kind::kWeight);
  EXPECT_EQ(gross.value, "1.234");
  EXPECT_EQ(gross.tare, "0.000");
  EXPECT_EQ(gross.unit, WeightUnit::kKg);
  EXPECT_EQ(gross.net, false);
  EXPECT_EQ(gross.stable, true);

  // Net, negative, in motion, pounds, two decimals, blanks for leading zeros, no checksum.
  const ScaleFrame net =
      Decode("toledo-continuous", Continuous(0x2C, 0x2B, 0x20, "   150", "  2000", false));
  EXPECT_EQ(net.kind, Kind::kWeight);
  EXPECT_EQ(net.value, "-1.50");
  EXPECT_EQ(net.tare, "20.00");
  EXPECT_EQ(net.net, true);
  EXPECT_EQ(net.stable, false);
  EXPECT_EQ(net.unit, WeightUnit::kLb);

  EXPECT_EQ(Decode("toledo-continuous", Continuous(0x28, kKgGross, 0x21, "001200", "000000", false))
                .value,
            "1200");  // fixed zeros
  EXPECT_EQ(Decode("toledo-continuous", Continuous(0x2F, kKgGross, 0x21, "012345", "000000", false))
                .value,
            "0.12345");
  EXPECT_EQ(
      Decode("toledo-continuous", Continuous(0x2A, kKgGross, 0x21, "000005", "000000", false)).unit,
      WeightUnit::kG);
  EXPECT_EQ(
      Decode("toledo-continuous", Continuous(0x2A, kKgGross, 0x23, "000005", "000000", false)).unit,
      WeightUnit::kOz);
  EXPECT_EQ(
      Decode("toledo-continuous", Continuous(0x2A, kKgGross, 0x22, "000005", "000000", false)).unit,
      WeightUnit::kNone);
}

TEST(ToledoContinuous, OutOfRangeAndBrokenRecords) {
  EXPECT_EQ(
      KindOf("toledo-continuous", Continuous(kThreeDecimals, 0x34, 0x20, "999999", "000000", true)),
      Kind::kOverload);
  EXPECT_EQ(
      KindOf("toledo-continuous", Continuous(kThreeDecimals, 0x36, 0x20, "000100", "000000", true)),
      Kind::kUnderZero);
  std::string bad_sum = Continuous(kThreeDecimals, kKgGross, 0x20, "001234", "000000", true);
  bad_sum.back() = static_cast<char>(bad_sum.back() ^ 1);
  EXPECT_EQ(KindOf("toledo-continuous", bad_sum), Kind::kInvalid);
  // A digit changed keeps the framing but not the sum.
  std::string changed = Continuous(kThreeDecimals, kKgGross, 0x20, "001234", "000000", true);
  changed[7] = '5';
  EXPECT_EQ(KindOf("toledo-continuous", changed), Kind::kInvalid);
  for (const std::string& frame :
       {Continuous(0x0D, kKgGross, 0x20, "001234", "000000", false),  // bit 5 of SWA clear
        Continuous(kThreeDecimals, kKgGross, 0x30, "001234", "000000", false),  // expanded
        Continuous(kThreeDecimals, kKgGross, 0x00, "001234", "000000", false),
        Continuous(kThreeDecimals, kKgGross, 0x20, "0012 4", "000000", false),
        Continuous(kThreeDecimals, kKgGross, 0x20, "      ", "000000", false),
        Continuous(0x28, kKgGross, 0x20, "001234", "000000", false),  // not "XXXX00"
        Continuous(kThreeDecimals, kKgGross, 0x20, "-01234", "000000", false)}) {
    EXPECT_EQ(KindOf("toledo-continuous", frame), Kind::kInvalid);
  }
}

TEST(ToledoContinuous, SplitTellsAChecksumFromTheNextRecord) {
  const Protocol& protocol = ProtocolById("toledo-continuous");
  const std::string plain = Continuous(kThreeDecimals, kKgGross, 0x20, "001234", "000000", false);
  const std::string summed = Continuous(kThreeDecimals, kKgGross, 0x20, "002000", "000000", true);
  // A record without checksum waits for the byte after its CR.
  std::string_view frame;
  EXPECT_EQ(protocol.split(plain, frame), 0u);
  EXPECT_EQ(SplitAll(protocol, plain + plain + summed + plain),
            (std::vector<std::string>{plain, plain, summed}));
  // A checksum that equals STX: the record after it starts with a second STX.
  std::string stx_sum;
  for (int d = 0; d < 1000000 && stx_sum.empty(); ++d) {
    char digits[7];
    std::snprintf(digits, sizeof digits, "%06d", d);
    const std::string candidate =
        Continuous(kThreeDecimals, kKgGross, 0x20, digits, "000000", true);
    if (candidate.back() == '\x02') stx_sum = candidate;
  }
  ASSERT_FALSE(stx_sum.empty());
  const auto frames = SplitAll(protocol, stx_sum + stx_sum + plain + "\x02");
  ASSERT_EQ(frames.size(), 3u);
  EXPECT_EQ(frames[0], stx_sum);
  EXPECT_EQ(protocol.decode(frames[1]).kind, Kind::kWeight);
  EXPECT_EQ(frames[2], plain);
}

TEST(MtSics, WeightAnswersAndStates) {
  const ScaleFrame stable = Decode("mt-sics", "S S      1.234 kg\r\n");
  EXPECT_EQ(stable.kind, Kind::kWeight);
  EXPECT_EQ(stable.value, "1.234");
  EXPECT_EQ(stable.unit, WeightUnit::kKg);
  EXPECT_EQ(stable.stable, true);
  const ScaleFrame dynamic = Decode("mt-sics", "S D     -0.050 g\r\n");
  EXPECT_EQ(dynamic.kind, Kind::kWeight);
  EXPECT_EQ(dynamic.value, "-0.050");
  EXPECT_EQ(dynamic.stable, false);
  EXPECT_EQ(dynamic.unit, WeightUnit::kG);
  EXPECT_EQ(Decode("mt-sics", "S S    120.5 lb\r\n").kind, Kind::kInvalid);  // 9 wide
  EXPECT_EQ(Decode("mt-sics", "S S      12.50 oz\r\n").unit, WeightUnit::kOz);
  EXPECT_EQ(KindOf("mt-sics", "S +\r\n"), Kind::kOverload);
  EXPECT_EQ(KindOf("mt-sics", "S -\r\n"), Kind::kUnderZero);
  EXPECT_EQ(KindOf("mt-sics", "S I\r\n"), Kind::kBusy);
  for (const std::string frame :
       {"S S      1.234 ozt\r\n", "S S      1.234kg\r\n", "S S      1.234 kg\r",
        "S S    - 1.234 kg\r\n", "S S      1,234 kg\r\n", "S X      1.234 kg\r\n", "ES\r\n",
        "S S\r\n", "\r\n"}) {
    EXPECT_EQ(KindOf("mt-sics", frame), Kind::kInvalid) << frame;
  }
}

TEST(MtSics, ZeroAndTareAnswers) {
  EXPECT_EQ(Reply("mt-sics", ScaleCommand::kZero, "Z A\r\n"), Kind::kAcknowledged);
  for (const std::string answer : {"Z I\r\n", "Z +\r\n", "Z -\r\n", "ES\r\n", "ET\r\n", "EL\r\n"}) {
    EXPECT_EQ(Reply("mt-sics", ScaleCommand::kZero, answer), Kind::kRefused) << answer;
  }
  EXPECT_EQ(Reply("mt-sics", ScaleCommand::kZero, "S S      1.234 kg\r\n"), Kind::kInvalid);
  EXPECT_EQ(Reply("mt-sics", ScaleCommand::kZero, "T S      1.234 kg\r\n"), Kind::kInvalid);

  EXPECT_EQ(Reply("mt-sics", ScaleCommand::kTare, "T S      0.250 kg\r\n"), Kind::kAcknowledged);
  const ScaleFrame tare = Decode("mt-sics", "T S      0.250 kg\r\n");
  EXPECT_EQ(tare.tare, "0.250");
  EXPECT_TRUE(tare.value.empty());
  for (const std::string answer : {"T I\r\n", "T +\r\n", "T -\r\n", "EL\r\n"}) {
    EXPECT_EQ(Reply("mt-sics", ScaleCommand::kTare, answer), Kind::kRefused) << answer;
  }
  EXPECT_EQ(Reply("mt-sics", ScaleCommand::kTare, "Z A\r\n"), Kind::kInvalid);
  EXPECT_EQ(Reply("mt-sics", ScaleCommand::kTare, "T S      0.250 kN\r\n"), Kind::kInvalid);
}

TEST(Ad, HeadersSignsAndUnitSpacing) {
  const ScaleFrame stable = Decode("ad", "ST,+0001.234  kg\r\n");
  EXPECT_EQ(stable.kind, Kind::kWeight);
  EXPECT_EQ(stable.value, "1.234");
  EXPECT_EQ(stable.stable, true);
  EXPECT_EQ(stable.unit, WeightUnit::kKg);
  EXPECT_FALSE(stable.net.has_value());
  const ScaleFrame moving = Decode("ad", "US,-0000.500 g\r\n");
  EXPECT_EQ(moving.kind, Kind::kWeight);
  EXPECT_EQ(moving.value, "-0.500");
  EXPECT_EQ(moving.stable, false);
  EXPECT_EQ(Decode("ad", "ST,+00000120   lb\r\n").value, "120");
  EXPECT_EQ(KindOf("ad", "OL,+9999999  kg\r\n"), Kind::kOverload);
  EXPECT_EQ(KindOf("ad", "OL,+99999999  kg\r\n"), Kind::kOverload);
  EXPECT_EQ(KindOf("ad", "OL,+    .E    kg\r\n"), Kind::kOverload);
  EXPECT_EQ(KindOf("ad", "OL,-    .E    kg\r\n"), Kind::kUnderZero);
  for (const std::string frame :
       {"QT,+00000012  PC\r\n", "ST,+0001.234kg\r\n", "ST,+0001.234    kg\r\n",
        "ST,0001.2345  kg\r\n", "ST,+001.234  kg\r\n", "ST,+0001.234  kg\r", "ST,+  01.234  kg\r\n",
        "ST;+0001.234  kg\r\n", "NT,+0001.234  kg\r\n", "ST,+0001.234  KG\r\n"}) {
    EXPECT_EQ(KindOf("ad", frame), Kind::kInvalid) << frame;
  }
}

TEST(Cas, HeadersNetAndBlanks) {
  const ScaleFrame gross = Decode("cas", "ST,GS,+001.234 kg\r\n");
  EXPECT_EQ(gross.kind, Kind::kWeight);
  EXPECT_EQ(gross.value, "1.234");
  EXPECT_EQ(gross.net, false);
  EXPECT_EQ(gross.stable, true);
  const ScaleFrame net = Decode("cas", "US,NT,-   0.50lb\r\n");
  EXPECT_EQ(net.value, "-0.50");
  EXPECT_EQ(net.net, true);
  EXPECT_EQ(net.stable, false);
  EXPECT_EQ(net.unit, WeightUnit::kLb);
  EXPECT_EQ(KindOf("cas", "OL,GS,+9999999 kg\r\n"), Kind::kOverload);
  EXPECT_EQ(KindOf("cas", "OL,GS,-  ---- kg\r\n"), Kind::kUnderZero);
  for (const std::string frame :
       {"ST,GS,+001.234  kg\r\n", "ST,GS,+01.234 kg\r\n", "ST,XX,+001.234 kg\r\n",
        "ST,GS, 001.234 kg\r\n", "ST,GS,+00 1.23 kg\r\n", "QT,GS,+001.234 kg\r\n",
        "ST,GS,+001.234 pcs\r\n", "ST GS +001.234 kg\r\n"}) {
    EXPECT_EQ(KindOf("cas", frame), Kind::kInvalid) << frame;
  }
}

TEST(Sma, RecordsStatusesAndModes) {
  const ScaleFrame gross = Decode("sma", "\n 1G       1.234kg \r");
  EXPECT_EQ(gross.kind, Kind::kWeight);
  EXPECT_EQ(gross.value, "1.234");
  EXPECT_EQ(gross.stable, true);
  EXPECT_EQ(gross.net, false);
  EXPECT_EQ(gross.unit, WeightUnit::kKg);
  const ScaleFrame net = Decode("sma", "\nZ1NM      -0.05g  \r");
  EXPECT_EQ(net.kind, Kind::kWeight);
  EXPECT_EQ(net.value, "-0.05");
  EXPECT_EQ(net.stable, false);
  EXPECT_EQ(net.net, true);
  EXPECT_EQ(net.unit, WeightUnit::kG);
  EXPECT_EQ(KindOf("sma", "\nO1G  ----------lb \r"), Kind::kOverload);
  EXPECT_EQ(KindOf("sma", "\nU1G       0.000lb \r"), Kind::kUnderZero);
  EXPECT_EQ(KindOf("sma", "\nE1G       0.000oz \r"), Kind::kBusy);
  EXPECT_EQ(KindOf("sma", "\nI1G       0.000oz \r"), Kind::kBusy);
  EXPECT_EQ(KindOf("sma", "\n 1T       0.500kg \r"), Kind::kInvalid);  // a tare record
  for (const std::string frame :
       {"\n 0G       1.234kg \r", "\n 1X       1.234kg \r", "\n 1G?      1.234kg \r",
        "\n 1G \x01     1.234kg \r", "\n 1G       1.234 kg\r", "\n 1G        1.234kg\r",
        "\n 1G      1.234kg \r", "\n 1G     - 1.234kg \r", "\nQ1G       1.234kg \r"}) {
    EXPECT_EQ(KindOf("sma", frame), Kind::kInvalid) << frame;
  }
}

TEST(Sma, ZeroAndTareAnswers) {
  EXPECT_EQ(Reply("sma", ScaleCommand::kZero, "\nZ1G       0.000kg \r"), Kind::kAcknowledged);
  EXPECT_EQ(Reply("sma", ScaleCommand::kZero, "\nE1G       1.000kg \r"), Kind::kRefused);
  EXPECT_EQ(Reply("sma", ScaleCommand::kTare, "\nZ1N       0.000kg \r"), Kind::kAcknowledged);
  EXPECT_EQ(Reply("sma", ScaleCommand::kTare, "\nT1G       1.000kg \r"), Kind::kRefused);
  EXPECT_EQ(Reply("sma", ScaleCommand::kTare, "\nT1N       0.000kg \r"), Kind::kRefused);
  EXPECT_EQ(Reply("sma", ScaleCommand::kZero, "\nZ1G       0.000kg\r"), Kind::kInvalid);
}

TEST(Nci, RejectsAnswersOutsideTheGrammar) {
  for (const std::string frame :
       {"\n0012.35lb\r\n0\r\x03",         // one status byte
        "\n0012.35lb\r\n0p\r\x03",        // byte 2 says another follows, none does
        "\n0012.35lb\r\n000\r\x03",       // byte 2 says none follows, one does
        "\n0012.35lb\r\np0\r\x03",        // byte 1 never has the "more" bit
        "\n0012.35lb\r\n\x01\x00\r\x03",  // always-set bits missing
        "\n0012.35\r\n00\r\x03",          // no unit
        "\n0012.35lbs\r\n00\r\x03",       // no such unit
        "\n12 .35lb\r\n00\r\x03",         // a blank inside the number
        "\n1LB 2.0OZ\r\n00\r\x03",        // pounds and ounces: two units
        "\n0012.35lb\r\n00\r",            // no ETX
        "\r\n00\r\x03", "\n?\r"}) {
    EXPECT_EQ(KindOf("nci", frame), Kind::kInvalid) << corpus::Escaped(frame);
  }
  // A weight line with a fault in the status is no weight.
  EXPECT_EQ(KindOf("nci", "\n0012.35lb\r\n40\r\x03"), Kind::kBusy);
  EXPECT_EQ(KindOf("nci", "\n0012.35lb\r\n02\r\x03"), Kind::kOverload);
  EXPECT_EQ(Reply("nci", ScaleCommand::kZero, "\n0012.35lb\r\n20\r\x03"), Kind::kInvalid);
  EXPECT_EQ(Reply("nci", ScaleCommand::kTare, "\n20\r\x03"), Kind::kInvalid);
}

TEST(Nci, SplitKeepsTheSecondLineAndDropsNoise) {
  const auto frames = SplitAll(ProtocolById("nci"), "xx\n1.0\n0012.35lb\r\n00\r\x03\n?\r\x03\n2");
  ASSERT_EQ(frames.size(), 2u);  // the cut answer before them is dropped
  EXPECT_EQ(frames[0], "\n0012.35lb\r\n00\r\x03");
  EXPECT_EQ(frames[1], "\n?\r\x03");
}

TEST(CasEcr, RejectsFramesOutsideTheGrammar) {
  const std::string good = "\x01\x02S 02.465kgd\x03\x04";
  for (std::size_t at : {2u, 3u, 6u, 10u, 12u}) {
    std::string changed = good;
    changed[at] = static_cast<char>(changed[at] ^ 0x01);  // caught by the BCC
    EXPECT_EQ(KindOf("cas-ecr", changed), Kind::kInvalid) << at;
  }
  for (const std::string frame : {"\x01\x02X 02.465kgo\x03\x04",  // no such status
                                  "\x01\x02S+02.465kgo\x03\x04",  // no such sign
                                  "\x01\x02S 02.465pc{\x03\x04",  // no such unit
                                  "\x01\x02S 02.465kgd\x04", "\x06"}) {
    EXPECT_EQ(KindOf("cas-ecr", frame), Kind::kInvalid) << corpus::Escaped(frame);
  }
  // ACK and NAK between answers are no frames.
  EXPECT_EQ(SplitAll(ProtocolById("cas-ecr"), "\x06" + good + "\x15"),
            std::vector<std::string>{good});
}

TEST(LineProtocols, SplitterResynchronisesAndDropsOverlongNoise) {
  const Protocol& cas = ProtocolById("cas");
  const std::string frame = "ST,GS,+001.234 kg\r\n";
  const std::string noise(200, 'x');
  // The tail of a record read from its middle, a record, a long run of noise, a record, and
  // the start of one more.
  const auto decoded = DecodeAll(cas, "1.234 kg\r\n" + frame + noise + "\r\n" + frame + "ST,GS,+0");
  ASSERT_EQ(decoded.size(), 3u);
  EXPECT_EQ(decoded[0].kind, Kind::kInvalid);
  EXPECT_EQ(decoded[1].value, "1.234");
  EXPECT_EQ(decoded[2].value, "1.234");
  // A CR at the very end may be the first half of CR LF: kept until the next byte.
  std::string_view out;
  EXPECT_EQ(cas.split(std::string(70, 'y') + "\r", out), 70u);
  EXPECT_TRUE(out.empty());
  // Bytes that start no record of a framed protocol are consumed at once.
  EXPECT_EQ(ProtocolById("sma").split("abc\ndef", out), 3u);
}

TEST(NoCommandProtocols, AnswerNoCommand) {
  for (const std::string_view id : {"qel", "toledo-continuous", "ad", "cas", "cas-ecr"}) {
    const Protocol& protocol = ProtocolById(id);
    EXPECT_TRUE(protocol.zero.empty()) << id;
    EXPECT_TRUE(protocol.tare.empty()) << id;
    EXPECT_EQ(protocol.reply(ScaleCommand::kZero, "Z A\r\n"), Kind::kInvalid) << id;
  }
}

}  // namespace
}  // namespace qel
