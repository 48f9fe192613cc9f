// Protocol detection against an emulated scale on a fake port and a fake clock: the scale
// speaks one protocol at one line, and a reader at another line gets what a real line gives
// (the parity bit in bit 7, parity errors read as 0x00, garbage at a wrong speed).
#include "detection.h"

#include <gtest/gtest.h>

#include <chrono>
#include <deque>
#include <string>

#include "fake_platform.h"
#include "module_api.h"
#include "named_port.h"
#include "protocol_test_support.h"

namespace qel {
namespace {

using Clock = DetectOptions::Clock;
using std::chrono::milliseconds;

unsigned Ones(unsigned byte) {
  unsigned bits = 0;
  for (; byte != 0; byte >>= 1) bits += byte & 1u;
  return bits;
}

// The bit that gives `byte` (7 bits) the parity `parity`.
unsigned ParityBit(unsigned byte, char parity) {
  const unsigned odd_ones = Ones(byte) % 2;
  return parity == 'E' ? odd_ones : 1 - odd_ones;
}

class EmulatedScale : public testing::FakeSerial {
 public:
  EmulatedScale(std::string_view id, LineFormat line, std::string output)
      : protocol_(testing::ProtocolById(id)), line_(line), output_(std::move(output)) {}

  Clock::time_point now = Clock::time_point{} + std::chrono::hours(1);
  Clock::time_point on_at = now;  // when the scale starts talking
  bool answers = true;

  Clock::time_point Now() const { return now; }
  milliseconds Elapsed(Clock::time_point since) const {
    return std::chrono::duration_cast<milliseconds>(now - since);
  }

  void Purge(PortHandle handle) override {
    FakeSerial::Purge(handle);
    delivered_ = Emitted();
    answers_.clear();
  }

  ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) override {
    const ReadOutcome scripted = FakeSerial::Read(handle, buffer, 0);
    if (!scripted.status.ok) return scripted;
    if (Available().empty()) Advance();
    std::string bytes = Available().substr(0, count);
    Consume(bytes.size());
    bytes = AsReaderSees(bytes);
    std::copy(bytes.begin(), bytes.end(), buffer);
    return {SysStatus::Ok(), static_cast<std::uint32_t>(bytes.size())};
  }

  SysStatus Write(PortHandle handle, const std::uint8_t* data, std::uint32_t count) override {
    FakeSerial::Write(handle, data, count);
    if (!protocol_.polled() || !SameLine() || now < on_at || !answers) return SysStatus::Ok();
    requests_.append(reinterpret_cast<const char*>(data), count);
    Answer();
    return SysStatus::Ok();
  }

  LineFormat ReaderLine() const {
    LineFormat line;
    line.baud = last_settings.BaudRate;
    line.data_bits = last_settings.ByteSize;
    line.parity = last_settings.Parity == 2 ? 'E' : last_settings.Parity == 1 ? 'O' : 'N';
    return line;
  }

 private:
  double MsPerByte() const {
    const unsigned bits = 1 + line_.data_bits + (line_.parity == 'N' ? 0 : 1) + line_.stop_bits;
    return bits * 1000.0 / line_.baud;
  }
  bool SameLine() const {
    const LineFormat reader = ReaderLine();
    return reader.baud == line_.baud && reader.data_bits == line_.data_bits &&
           reader.parity == line_.parity;
  }
  // Continuous output since the scale came on, bytes so far.
  std::size_t Emitted() const {
    if (protocol_.polled() || now < on_at) return 0;
    return static_cast<std::size_t>(std::chrono::duration<double, std::milli>(now - on_at).count() /
                                    MsPerByte());
  }
  std::string Available() const {
    if (protocol_.polled()) {
      std::string ready;
      for (const auto& answer : answers_) {
        if (answer.first <= now) ready += answer.second;
      }
      return ready;
    }
    std::string bytes;
    for (std::size_t i = delivered_; i < Emitted() && bytes.size() < 255; ++i) {
      bytes += output_[(i + 5) % output_.size()];  // the first frame is caught midway
    }
    return bytes;
  }
  void Consume(std::size_t n) {
    if (!protocol_.polled()) {
      delivered_ += n;
      return;
    }
    while (n > 0 && !answers_.empty() && answers_.front().first <= now) {
      const std::size_t take = std::min(n, answers_.front().second.size());
      answers_.front().second.erase(0, take);
      if (answers_.front().second.empty()) answers_.pop_front();
      n -= take;
    }
  }
  // A read waits for the next byte, or its whole timeout.
  void Advance() {
    milliseconds wait(last_timeouts.ReadTotalTimeoutConstant);
    if (!protocol_.polled()) {
      wait = std::min(wait, milliseconds(static_cast<int>(MsPerByte()) + 1));
    } else if (!answers_.empty()) {
      wait = std::min(wait, std::chrono::duration_cast<milliseconds>(answers_.front().first - now) +
                                milliseconds(1));
    }
    now += std::max(wait, milliseconds(1));
  }
  void Queue(std::string answer) {
    const auto transfer =
        milliseconds(static_cast<int>(static_cast<double>(answer.size()) * MsPerByte()) + 20);
    answers_.emplace_back(now + transfer, std::move(answer));
  }
  // The requests the scale recognises in what it was sent.
  void Answer() {
    const std::string_view request = protocol_.request;
    for (std::size_t at = requests_.find(request); at != std::string::npos;
         at = requests_.find(request)) {
      requests_.erase(0, at + request.size());
      Queue(output_);
    }
  }
  // What a reader at its own line gets from bytes this scale sent at `line_`.
  std::string AsReaderSees(std::string bytes) const {
    const LineFormat reader = ReaderLine();
    if (reader.baud != line_.baud) {
      std::string garbage;
      for (std::size_t i = 0; i < bytes.size(); i += 2) {
        garbage += static_cast<char>(static_cast<unsigned char>(bytes[i]) * 73 + 41);
      }
      return garbage;
    }
    for (char& c : bytes) {
      auto byte = static_cast<unsigned char>(c);
      const bool scale7 = line_.data_bits == 7;
      const bool reader7 = reader.data_bits == 7;
      if (scale7 && !reader7) {
        byte = static_cast<unsigned char>(byte | (ParityBit(byte, line_.parity) << 7));
      } else if (!scale7 && reader7) {
        const bool ok = ((byte >> 7) & 1u) == ParityBit(byte & 0x7Fu, reader.parity);
        byte = ok ? static_cast<unsigned char>(byte & 0x7Fu) : 0;
      } else if (scale7 && reader.parity != line_.parity) {
        byte = 0;
      }
      c = static_cast<char>(byte);
    }
    return bytes;
  }

  const Protocol& protocol_;
  LineFormat line_;
  std::string output_;
  std::size_t delivered_ = 0;
  std::string requests_;
  std::deque<std::pair<Clock::time_point, std::string>> answers_;
};

DetectOptions OptionsFor(EmulatedScale& scale) {
  DetectOptions options;
  options.now = [&scale] { return scale.Now(); };
  return options;
}

LineFormat Line(std::uint32_t baud, std::uint8_t data_bits, char parity) {
  LineFormat line;
  line.baud = baud;
  line.data_bits = data_bits;
  line.parity = parity;
  return line;
}

struct Case {
  std::string_view id;
  LineFormat line;
  std::string output;  // continuous: the stream; polled: the answer to one request
};

std::vector<Case> Cases() {
  std::string toledo = "\x02-0 001234000000\r";
  toledo += testing::Checksum7(toledo);
  return {
      {"qel", Line(9600, 8, 'N'), "=432.100"},
      {"toledo-8217", Line(9600, 7, 'E'),
       "\x02"
       "01.234\r"},
      {"toledo-continuous", Line(9600, 7, 'E'), toledo},
      {"mt-sics", Line(9600, 8, 'N'), "S S      1.234 kg\r\n"},
      {"ad", Line(2400, 7, 'E'), "ST,+0001.234  kg\r\n"},
      {"cas", Line(9600, 8, 'N'), "ST,GS,+001.234 kg\r\n"},
      {"sma", Line(9600, 8, 'N'), "\n 1G       1.234kg \r"},
      {"nci", Line(9600, 7, 'E'), "\n  1.234kg\r\n0p0\r\x03"},
      {"cas-ecr", Line(9600, 8, 'N'), "\x06\x01\x02S 01.234kg\x65\x03\x04"},
  };
}

TEST(Detection, FindsEveryProtocolAtItsOwnLineInTime) {
  for (const Case& c : Cases()) {
    EmulatedScale scale(c.id, c.line, c.output);
    const Clock::time_point start = scale.Now();
    const DetectResult result = DetectProtocol(scale, "COM5", OptionsFor(scale));
    ASSERT_TRUE(result.ok()) << c.id << ": " << result.message;
    EXPECT_EQ(result.protocol->id, c.id);
    EXPECT_EQ(LineText(result.line), LineText(c.line)) << c.id;
    EXPECT_EQ(result.line.dtr, result.protocol->line.dtr) << c.id;
    EXPECT_EQ(result.error, ReadingError::kNone);
    const milliseconds limit = result.protocol->polled() ? milliseconds(5000) : milliseconds(3000);
    EXPECT_LE(scale.Elapsed(start), limit) << c.id;
    EXPECT_TRUE(scale.held.empty()) << c.id;
  }
}

TEST(Detection, FindsAScaleAtALessCommonLine) {
  // A 7O1 scale at 4800: the bytes read at 4800 8N1 show odd parity, so 7O1 comes next.
  EmulatedScale scale("cas", Line(4800, 7, 'O'), "ST,GS,+001.234 kg\r\n");
  const DetectResult result = DetectProtocol(scale, "COM5", OptionsFor(scale));
  ASSERT_TRUE(result.ok()) << result.message;
  EXPECT_EQ(LineText(result.line), "4800 7O1");
  std::size_t opens = 0;
  for (const std::string& call : scale.calls) opens += call == "Open";
  EXPECT_EQ(opens, 5u);  // 9600 8N1, 9600 7E1, 2400 7E1, 4800 8N1, then 4800 7O1
}

TEST(Detection, FindsAPolledScaleAtTheLastUsualLine) {
  EmulatedScale scale("mt-sics", Line(2400, 7, 'O'), "S D      0.500 g\r\n");
  const Clock::time_point start = scale.Now();
  const DetectResult result = DetectProtocol(scale, "COM5", OptionsFor(scale));
  ASSERT_TRUE(result.ok()) << result.message;
  EXPECT_EQ(result.protocol->id, "mt-sics");
  EXPECT_EQ(LineText(result.line), "2400 7O1");
  EXPECT_LE(scale.Elapsed(start), milliseconds(5000));
}

TEST(Detection, AsksOnlyForWeights) {
  EmulatedScale scale("sma", Line(9600, 8, 'N'), "\n 1G       1.234kg \r");
  scale.answers = false;
  DetectOptions options = OptionsFor(scale);
  options.limit = milliseconds(1500);
  EXPECT_FALSE(DetectProtocol(scale, "COM5", options).ok());
  ASSERT_FALSE(scale.written.empty());
  for (const Protocol* protocol : Protocols()) {
    for (const std::string_view command : {protocol->zero, protocol->tare}) {
      if (!command.empty()) {
        EXPECT_EQ(scale.written.find(command), std::string::npos) << protocol->id;
      }
    }
  }
  EXPECT_EQ(scale.written.find_first_of("ZTP"), std::string::npos);
}

TEST(Detection, SilenceEndsAtTheTimeLimitWithAClearMessage) {
  EmulatedScale scale("sma", Line(9600, 8, 'N'), "\n 1G       1.234kg \r");
  scale.answers = false;
  const Clock::time_point start = scale.Now();
  const DetectResult result = DetectProtocol(scale, "COM7", OptionsFor(scale));
  EXPECT_FALSE(result.ok());
  EXPECT_EQ(result.error, ReadingError::kNoReading);
  EXPECT_EQ(result.message, "no scale protocol recognised on COM7 within 8 s");
  EXPECT_GE(scale.Elapsed(start), milliseconds(8000));
  EXPECT_LE(scale.Elapsed(start), milliseconds(8400));
  EXPECT_TRUE(scale.held.empty());
}

TEST(Detection, AScaleSwitchedOnLateIsFoundOnALaterRound) {
  EmulatedScale scale("ad", Line(2400, 7, 'E'), "US,+0001.234  kg\r\n");
  scale.on_at = scale.now + milliseconds(3500);
  const DetectResult result = DetectProtocol(scale, "COM5", OptionsFor(scale));
  ASSERT_TRUE(result.ok()) << result.message;
  EXPECT_EQ(result.protocol->id, "ad");
}

TEST(Detection, PortFailuresEndTheSearchAtOnce) {
  EmulatedScale absent("cas", Line(9600, 8, 'N'), "ST,GS,+001.234 kg\r\n");
  absent.open_error = 2;
  const DetectResult gone = DetectProtocol(absent, "COM9", OptionsFor(absent));
  EXPECT_EQ(gone.error, ReadingError::kPortUnavailable);
  EXPECT_FALSE(gone.message.empty());
  EXPECT_EQ(absent.calls, std::vector<std::string>{"Open"});

  // A port that takes no line: one round, not a spin until the time limit.
  EmulatedScale refusing("cas", Line(9600, 8, 'N'), "ST,GS,+001.234 kg\r\n");
  refusing.set_state_error = 87;
  const DetectResult refused = DetectProtocol(refusing, "COM9", OptionsFor(refusing));
  EXPECT_EQ(refused.error, ReadingError::kSetupFailed);
  EXPECT_EQ(refusing.closed.size(), DetectionLines().size());
  EXPECT_TRUE(refusing.held.empty());

  EmulatedScale failing("cas", Line(9600, 8, 'N'), "ST,GS,+001.234 kg\r\n");
  failing.read_error = 5;
  EXPECT_EQ(DetectProtocol(failing, "COM9", OptionsFor(failing)).error, ReadingError::kReadFailed);
  EXPECT_TRUE(failing.held.empty());
}

TEST(Detection, StopsWhenAsked) {
  EmulatedScale scale("sma", Line(9600, 8, 'N'), "\n 1G       1.234kg \r");
  scale.answers = false;
  DetectOptions options = OptionsFor(scale);
  int reads = 0;
  options.stopped = [&reads] { return ++reads > 3; };
  const DetectResult result = DetectProtocol(scale, "COM5", options);
  EXPECT_FALSE(result.ok());
  EXPECT_NE(result.message.find("stopped"), std::string::npos);
  EXPECT_TRUE(scale.held.empty());
}

// What a transport that cannot block does (a browser's serial port): it opens at each line
// itself, hands the search every read, empty ones included, and may narrow the lines.
TEST(Detection, ASearchDrivenStepByStepFindsTheScaleOnTheLinesItWasGiven) {
  EmulatedScale scale("ad", Line(2400, 7, 'E'), "ST,+0001.234  kg\r\n");
  DetectOptions options = OptionsFor(scale);
  options.lines = {Line(9600, 8, 'N'), Line(2400, 7, 'E')};
  DetectionSearch search("web serial", options);
  std::vector<std::string> tried;
  std::size_t empty_reads = 0;
  while (const std::optional<LineFormat> line = search.NextLine()) {
    tried.push_back(LineText(*line));
    const OpenOutcome opened = scale.Open("web serial");
    ASSERT_NE(opened.handle, kInvalidPortHandle);
    scale.SetState(opened.handle, ModuleAPI::LineSettingsFor(*line));
    const std::string probe = search.Opened();
    EXPECT_EQ(probe, DetectionProbe());
    while (!search.LineOver()) {
      std::uint8_t byte = 0;  // one byte at a time, or nothing
      const ReadOutcome read = scale.Read(opened.handle, &byte, 1);
      empty_reads += read.bytes_read == 0;
      search.Heard(std::string_view(reinterpret_cast<const char*>(&byte), read.bytes_read));
    }
    scale.Close(opened.handle);
  }
  ASSERT_TRUE(search.Result().ok()) << search.Result().message;
  EXPECT_EQ(search.Result().protocol->id, "ad");
  EXPECT_EQ(tried, (std::vector<std::string>{"9600 8N1", "2400 7E1"}));
  EXPECT_GT(empty_reads, 0u);

  // Lines the port refuses, then an absent port: each a result, never a spin.
  DetectionSearch refusing("web serial", options);
  for (std::size_t i = 0; i < 2; ++i) {
    ASSERT_TRUE(refusing.NextLine());
    refusing.OpenFailed(ReadingError::kSetupFailed, "line refused");
  }
  EXPECT_FALSE(refusing.NextLine());
  EXPECT_EQ(refusing.Result().message, "line refused");
  DetectionSearch absent("web serial", options);
  ASSERT_TRUE(absent.NextLine());
  absent.OpenFailed(ReadingError::kPortUnavailable, "gone");
  EXPECT_FALSE(absent.NextLine());
  EXPECT_EQ(absent.Result().error, ReadingError::kPortUnavailable);
}

TEST(Detection, APortsSpeedOrFramingNarrowsTheLinesTried) {
  const auto texts = [](const std::vector<LineFormat>& lines) {
    std::vector<std::string> out;
    for (const LineFormat& line : lines) out.push_back(LineText(line));
    return out;
  };
  using Texts = std::vector<std::string>;
  EXPECT_EQ(texts(DetectionLinesFor(4800, std::nullopt)),
            (Texts{"4800 8N1", "4800 7E1", "4800 7O1"}));
  EXPECT_EQ(texts(DetectionLinesFor(std::nullopt, Line(0, 7, 'O'))),
            (Texts{"9600 7O1", "4800 7O1", "2400 7O1"}));
  EXPECT_EQ(texts(DetectionLinesFor(1200, Line(0, 8, 'N'))), (Texts{"1200 8N1"}));
  EXPECT_EQ(texts(DetectionLinesFor(38400, std::nullopt)),
            (Texts{"38400 8N1", "38400 7E1", "38400 7O1"}));
  EXPECT_EQ(DetectionLinesFor(std::nullopt, std::nullopt), DetectionLines());
}

TEST(Detection, ParityHintReadsTheParityBit) {
  std::string even;
  std::string odd;
  for (const char c : std::string("ST,+0001.234  kg\r\n")) {
    const auto byte = static_cast<unsigned>(static_cast<unsigned char>(c));
    even += static_cast<char>(byte | (ParityBit(byte, 'E') << 7));
    odd += static_cast<char>(byte | (ParityBit(byte, 'O') << 7));
  }
  EXPECT_EQ(ParityHint(even), 'E');
  EXPECT_EQ(ParityHint(odd), 'O');
  EXPECT_EQ(ParityHint("ST,GS,+001.234 kg\r\n"), 'N');  // clean 7-bit text
  EXPECT_EQ(ParityHint(even.substr(0, 4)), 'N');        // too little to tell
  EXPECT_EQ(ParityHint(even + odd), 'N');
}

TEST(Detection, ProbeAsksEveryPolledProtocolOnItsOwnLine) {
  // The NCI request "W" CR is the start of the 8217's "W" CR LF.
  EXPECT_EQ(DetectionProbe(), "W\r\nSI\r\n\nW\r\r\n\x05\x11\r\nS14\r\r\n");
  for (const Protocol* protocol : Protocols()) {
    EXPECT_NE(DetectionProbe().find(protocol->request), std::string::npos) << protocol->id;
  }
}

}  // namespace
}  // namespace qel
