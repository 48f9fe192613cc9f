// The protocol-driven parts of the stream engine and the shared link, over a scale that
// answers on a scripted wire and a protocol of the test's own, so the engine's rules are
// checked apart from any real protocol's bytes.
#include "scale_link.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "fake_platform.h"
#include "module_api.h"
#include "weight_stream.h"

namespace qel {
namespace {

using namespace std::chrono_literals;

// Frames end with "\r". "W<value>" a weight, "M<value>" moving, "O" overload, "ZA"/"ZN" the
// answers to zero. Polled with "?\r"; zero "Z\r"; no tare.
std::size_t SplitAtCr(std::string_view buffer, std::string_view& frame) {
  const std::size_t end = buffer.find('\r');
  if (end == std::string_view::npos) return 0;
  frame = buffer.substr(0, end);
  return end + 1;
}

ScaleFrame DecodeTest(std::string_view frame) {
  ScaleFrame out;
  if (frame == "O") {
    out.kind = ScaleFrame::Kind::kOverload;
  } else if (frame.size() > 1 && (frame[0] == 'W' || frame[0] == 'M')) {
    out.kind = ScaleFrame::Kind::kWeight;
    out.value = std::string(frame.substr(1));
    out.stable = frame[0] == 'W';
    out.unit = WeightUnit::kG;
  }
  return out;
}

ScaleFrame::Kind ReplyTest(ScaleCommand, std::string_view frame) {
  if (frame == "ZA") return ScaleFrame::Kind::kAcknowledged;
  if (frame == "ZN") return ScaleFrame::Kind::kRefused;
  return ScaleFrame::Kind::kInvalid;
}

Protocol TestProtocol() {
  Protocol p;
  p.id = "test";
  p.line = LineFormat{4800, 7, 'E', 1, true, false};
  p.request = "?\r";
  p.poll_ms = 20;
  p.motion_flag = true;
  p.split = SplitAtCr;
  p.decode = DecodeTest;
  p.zero = "Z\r";
  p.reply = ReplyTest;
  return p;
}

// A scale on the wire: answers each request it recognises with the scripted bytes.
class WireScale : public SerialApi {
 public:
  std::map<std::string, std::string> answers;  // request -> answer
  bool fail_open = false;

  OpenOutcome Open(const std::string&) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (fail_open) return {kInvalidPortHandle, 2};
    return {5, 0};
  }
  void Purge(PortHandle) override {}
  SysStatus SetState(PortHandle, const LineSettings& line) override {
    std::lock_guard<std::mutex> lock(mutex_);
    set_line = line;
    return {};
  }
  SysStatus SetTimeouts(PortHandle, const CommTimeouts&) override { return {}; }
  SysStatus Write(PortHandle, const std::uint8_t* data, std::uint32_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string request(reinterpret_cast<const char*>(data), count);
    written.push_back(request);
    const auto it = answers.find(request);
    if (it != answers.end()) incoming += it->second;
    wake_.notify_all();
    return {};
  }
  ReadOutcome Read(PortHandle, std::uint8_t* buffer, std::uint32_t count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    wake_.wait_for(lock, 10ms, [this] { return !incoming.empty(); });
    const std::size_t n = std::min<std::size_t>(count, incoming.size());
    std::memcpy(buffer, incoming.data(), n);
    incoming.erase(0, n);
    return {SysStatus::Ok(), static_cast<std::uint32_t>(n)};
  }
  void Close(PortHandle) override {}

  void Answer(const std::string& request, const std::string& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    answers[request] = answer;
  }
  std::size_t Count(const std::string& request) {
    std::lock_guard<std::mutex> lock(mutex_);
    return static_cast<std::size_t>(std::count(written.begin(), written.end(), request));
  }
  LineSettings Line() {
    std::lock_guard<std::mutex> lock(mutex_);
    return set_line;
  }

 private:
  std::mutex mutex_;
  std::condition_variable wake_;
  std::string incoming;
  std::vector<std::string> written;
  LineSettings set_line;
};

struct Running {
  testing::FakePlatform fake;
  WireScale wire;
  Services services{wire, fake.messages, fake.locale, fake.sleeper, fake.states};
  Protocol protocol = TestProtocol();
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Reading> readings;
  std::unique_ptr<StreamEngine> engine;
  std::thread thread;

  void Start() {
    NamedPort named;
    named.name = "COM7";
    named.protocol = &protocol;
    named.has_options = true;
    engine = std::make_unique<StreamEngine>(services, named, StreamOptions{},
                                            [this](const Reading& r, bool) {
                                              std::lock_guard<std::mutex> lock(mutex);
                                              readings.push_back(r);
                                              changed.notify_all();
                                            });
    thread = std::thread([this] { engine->Run(); });
  }
  // The first reading for which `match` holds, waiting up to 5 s.
  std::optional<Reading> WaitFor(const std::function<bool(const Reading&)>& match) {
    std::unique_lock<std::mutex> lock(mutex);
    std::optional<Reading> found;
    changed.wait_for(lock, 5s, [&] {
      for (const Reading& r : readings) {
        if (match(r)) found = r;
      }
      return found.has_value();
    });
    return found;
  }
  CommandResult Ask(ScaleCommand command) {
    std::promise<CommandResult> answer;
    engine->Command(command, [&answer](CommandResult r) { answer.set_value(r); });
    return answer.get_future().get();
  }
  ~Running() {
    if (engine) engine->Stop();
    if (thread.joinable()) thread.join();
  }
};

TEST(ScaleLink, DcbForALineFormat) {
  const LineSettings dcb = ModuleAPI::LineSettingsFor(LineFormat{2400, 7, 'O', 2, false, true});
  EXPECT_EQ(dcb.BaudRate, 2400u);
  EXPECT_EQ(dcb.ByteSize, 7);
  EXPECT_EQ(dcb.Parity, 1);    // ODDPARITY
  EXPECT_EQ(dcb.StopBits, 2);  // TWOSTOPBITS
  EXPECT_EQ(DtrControl(dcb.Flags), 0u);
  EXPECT_EQ(RtsControl(dcb.Flags), 1u);
  EXPECT_EQ(ModuleAPI::LineSettingsFor(LineFormat{9600, 8, 'E', 1}).Parity, 2);
  EXPECT_EQ(ModuleAPI::LineSettingsFor(LineFormat{9600, 8, 'N', 1}).Parity, 0);
  EXPECT_EQ(DtrControl(ModuleAPI::LineSettingsFor(LineFormat{}).Flags), 1u);
}

// The driver's weight texts: a protocol's value shown in the user's format.
TEST(ScaleLink, LocaleTextFollowsTheUsersFormat) {
  const NumberFormat comma{",", false};
  EXPECT_EQ(LocaleText("0.250", comma), ",250");
  EXPECT_EQ(LocaleText("-0.5", comma), "-,5");
  EXPECT_EQ(LocaleText("12", comma), "12");
  EXPECT_EQ(LocaleText("1.234", NumberFormat{}), "1.234");
  EXPECT_EQ(LocaleText("-10.25", NumberFormat{",", true}), "-10,25");
}

TEST(ScaleLink, ReadingsOfTheScalesOwnStates) {
  const Protocol p = TestProtocol();
  ScaleFrame overload;
  overload.kind = ScaleFrame::Kind::kOverload;
  overload.value = "9.999";  // never shown while the scale says overload
  Reading r = ReadingFromFrame(overload, p, true, NumberFormat{});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ReadingError::kOverload);
  EXPECT_EQ(r.text, "0");
  EXPECT_EQ(r.stable, false);
  EXPECT_EQ(r.protocol, "test");

  ScaleFrame moving;
  moving.kind = ScaleFrame::Kind::kMotion;
  r = ReadingFromFrame(moving, p, true, NumberFormat{});
  EXPECT_FALSE(r.ok);
  EXPECT_EQ(r.error, ReadingError::kNoReading);
  EXPECT_EQ(r.stable, false);

  ScaleFrame net;
  net.kind = ScaleFrame::Kind::kWeight;
  net.value = "-1.50";
  net.unit = WeightUnit::kLb;
  net.net = true;
  net.tare = "2.00";
  r = ReadingFromFrame(net, p, true, NumberFormat{",", true});
  EXPECT_TRUE(r.ok);
  EXPECT_EQ(r.value, "-1.50");
  EXPECT_EQ(r.text, "-1,50");
  EXPECT_EQ(r.unit, "lb");
  EXPECT_EQ(r.net, true);
  EXPECT_EQ(r.tare, "2.00");
  // Untagged (no port options): none of the protocol's fields.
  r = ReadingFromFrame(net, p, false, NumberFormat{});
  EXPECT_EQ(r.protocol, "");
  EXPECT_EQ(r.unit, "");
  EXPECT_FALSE(r.net.has_value());
}

// Frames cut across reads are joined; a flood without any frame end is bounded.
TEST(ScaleLink, FramesAcrossReadsAndNoiseBounded) {
  testing::FakeSerial serial;
  const Protocol p = TestProtocol();
  ScaleLink link(serial, 1, p);
  std::vector<std::string> frames;
  serial.incoming = "W1.2";
  link.ReadFrames(frames);
  EXPECT_TRUE(frames.empty());
  serial.incoming = "34\rM2";
  link.ReadFrames(frames);
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0], "W1.234");
  for (int i = 0; i < 20; ++i) {
    serial.incoming = std::string(200, 'x');
    link.ReadFrames(frames);
  }
  serial.incoming = "\rW5\r";
  frames.clear();
  link.ReadFrames(frames);
  ASSERT_EQ(frames.size(), 2u);
  EXPECT_LE(frames[0].size(), 512u);  // the noise, cut to the bound, is one bad frame
  EXPECT_EQ(frames[1], "W5");
}

TEST(StreamEngineProtocol, PollsAtItsIntervalAndTakesTheScalesStability) {
  Running run;
  run.wire.Answer("?\r", "M1.5\r");
  run.Start();
  const auto moving = run.WaitFor([](const Reading& r) { return r.ok; });
  ASSERT_TRUE(moving);
  EXPECT_EQ(moving->value, "1.5");
  EXPECT_EQ(moving->stable, false);
  EXPECT_EQ(moving->unit, "g");
  EXPECT_EQ(moving->protocol, "test");
  run.wire.Answer("?\r", "W1.5\r");
  const auto settled = run.WaitFor([](const Reading& r) { return r.stable == true; });
  ASSERT_TRUE(settled);
  EXPECT_GE(run.wire.Count("?\r"), 2u);
  // The line is the protocol's, not the driver's.
  EXPECT_EQ(run.wire.Line().BaudRate, 4800u);
  EXPECT_EQ(run.wire.Line().ByteSize, 7);
  run.wire.Answer("?\r", "O\r");
  const auto over =
      run.WaitFor([](const Reading& r) { return r.error == ReadingError::kOverload; });
  ASSERT_TRUE(over);
  EXPECT_FALSE(over->ok);
}

TEST(StreamEngineProtocol, ZeroIsAnsweredByTheScale) {
  Running run;
  run.wire.Answer("?\r", "W2\r");
  run.Start();
  ASSERT_TRUE(run.WaitFor([](const Reading& r) { return r.ok; }));
  run.wire.Answer("Z\r", "ZA\r");
  EXPECT_EQ(run.Ask(ScaleCommand::kZero), CommandResult::kAcknowledged);
  run.wire.Answer("Z\r", "ZN\r");
  EXPECT_EQ(run.Ask(ScaleCommand::kZero), CommandResult::kRefused);
  run.wire.Answer("Z\r", "");
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(run.Ask(ScaleCommand::kZero), CommandResult::kNoAnswer);
  EXPECT_GE(std::chrono::steady_clock::now() - asked,
            std::chrono::milliseconds(run.protocol.answer_ms));
  EXPECT_EQ(run.Ask(ScaleCommand::kTare), CommandResult::kNotSupported);
  // Readings go on after the commands.
  run.wire.Answer("?\r", "W3\r");
  EXPECT_TRUE(run.WaitFor([](const Reading& r) { return r.ok && r.value == "3"; }));
}

TEST(StreamEngineProtocol, CommandsOnAPortThatWillNotOpenGetNoAnswer) {
  Running run;
  run.wire.fail_open = true;
  run.Start();
  ASSERT_TRUE(
      run.WaitFor([](const Reading& r) { return r.error == ReadingError::kPortUnavailable; }));
  EXPECT_EQ(run.Ask(ScaleCommand::kZero), CommandResult::kNoAnswer);
}

// A continuous scale whatever line the reader sets: each read finds the current record.
class StreamingWire : public WireScale {
 public:
  void Send(const std::string& record) {
    std::lock_guard<std::mutex> lock(record_mutex_);
    record_ = record;
  }
  ReadOutcome Read(PortHandle, std::uint8_t* buffer, std::uint32_t count) override {
    std::this_thread::sleep_for(10ms);
    std::lock_guard<std::mutex> lock(record_mutex_);
    const std::size_t n = std::min<std::size_t>(count, record_.size());
    std::memcpy(buffer, record_.data(), n);
    return {SysStatus::Ok(), static_cast<std::uint32_t>(n)};
  }

 private:
  std::mutex record_mutex_;
  std::string record_;
};

// An auto port whose scale starts speaking another protocol finds it again on its own.
TEST(StreamEngineProtocol, AutoDetectsAgainWhenFramesStopDecoding) {
  testing::FakePlatform fake;
  StreamingWire wire;
  Services services{wire, fake.messages, fake.locale, fake.sleeper, fake.states};
  wire.Send("ST,GS,+001.500 kg\r\n");
  NamedPort named;
  named.name = "COM9";
  named.detect = true;
  named.has_options = true;
  std::mutex mutex;
  std::vector<Reading> readings;
  StreamEngine engine(services, named, StreamOptions{}, [&](const Reading& r, bool) {
    std::lock_guard<std::mutex> lock(mutex);
    readings.push_back(r);
  });
  std::thread thread([&engine] { engine.Run(); });
  const auto seen = [&](const std::string& protocol) {
    const auto deadline = std::chrono::steady_clock::now() + 15s;
    while (std::chrono::steady_clock::now() < deadline) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        for (const Reading& r : readings) {
          if (r.ok && r.protocol == protocol) return true;
        }
      }
      std::this_thread::sleep_for(20ms);
    }
    return false;
  };
  EXPECT_TRUE(seen("cas"));
  ASSERT_NE(engine.protocol(), nullptr);
  EXPECT_EQ(engine.protocol()->id, "cas");
  wire.Send("ST,+0002.250  kg\r\n");
  EXPECT_TRUE(seen("ad"));
  EXPECT_EQ(engine.protocol()->id, "ad");
  engine.Stop();
  thread.join();
  std::lock_guard<std::mutex> lock(mutex);
  for (const Reading& r : readings) {
    // Never a weight of one protocol's frames under the other's name.
    if (r.ok && r.protocol == "cas") {
      EXPECT_EQ(r.value, "1.500");
    }
    if (r.ok && r.protocol == "ad") {
      EXPECT_EQ(r.value, "2.250");
    }
  }
}

}  // namespace
}  // namespace qel
