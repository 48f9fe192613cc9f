// Zero and tare as a cashier's till relies on them: carried out only while someone wants them,
// answered with the scale's own answer to them (never a poll's), a few at most per port, and
// never holding up a reading. The scales here answer on a timed wire, with a latency and one
// byte a millisecond as a 9600 baud line gives them, so a command sent over a poll's answer
// shows as it would on a real line.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <future>
#include <mutex>
#include <thread>

#include "command_queue.h"
#include "fake_platform.h"
#include "named_port.h"
#include "on_demand.h"
#include "weight_stream.h"

namespace qel {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// --- The queue's own rules, on a clock of the test's own. ---

struct Answers {
  std::vector<CommandResult> results;
  CommandQueue::Done Recorder() {
    return [this](CommandResult r) { results.push_back(r); };
  }
};

TEST(CommandQueue, HoldsAtMostFourAndFreesAPlaceWhenOneIsAnswered) {
  Answers answers;  // outlives the queue, which answers whoever still waits
  CommandQueue queue;
  const Clock::time_point t0{};
  for (int i = 0; i < 4; ++i) {
    EXPECT_TRUE(queue.Push(ScaleCommand::kTare, answers.Recorder(), nullptr, t0));
  }
  EXPECT_FALSE(queue.Push(ScaleCommand::kTare, answers.Recorder(), nullptr, t0));
  ASSERT_EQ(answers.results, std::vector<CommandResult>{CommandResult::kTooManyCommands});
  // One taken to the scale still counts until it is answered.
  std::optional<CommandQueue::Entry> sent = queue.Next(t0, 1000ms);
  ASSERT_TRUE(sent);
  EXPECT_FALSE(queue.Push(ScaleCommand::kZero, answers.Recorder(), nullptr, t0));
  sent->done(CommandResult::kAcknowledged);
  EXPECT_TRUE(queue.Push(ScaleCommand::kZero, answers.Recorder(), nullptr, t0));
  queue.FailAll(CommandResult::kNoAnswer);
  EXPECT_TRUE(queue.empty());
  EXPECT_EQ(answers.results.size(), 7u);  // refused twice, one acknowledged, four failed
  EXPECT_TRUE(queue.Push(ScaleCommand::kZero, answers.Recorder(), nullptr, t0));
}

TEST(CommandQueue, WithdrawnOrOverdueCommandsAreDroppedUnsent) {
  Answers answers;  // outlives the queue, which answers whoever still waits
  CommandQueue queue;
  const Clock::time_point t0{};
  auto withdrawn = std::make_shared<CommandTicket>();
  auto wanted = std::make_shared<CommandTicket>();
  queue.Push(ScaleCommand::kTare, answers.Recorder(), withdrawn, t0);
  queue.Push(ScaleCommand::kZero, answers.Recorder(), nullptr, t0);
  queue.Push(ScaleCommand::kTare, answers.Recorder(), wanted, t0 + 900ms);
  withdrawn->Withdraw();
  // At 1 s the first is withdrawn and the second past its window: the third goes.
  std::optional<CommandQueue::Entry> next = queue.Next(t0 + 1000ms, 1000ms);
  ASSERT_TRUE(next);
  EXPECT_EQ(next->command, ScaleCommand::kTare);
  EXPECT_EQ(next->ticket, wanted);
  EXPECT_EQ(answers.results,
            (std::vector<CommandResult>{CommandResult::kNoAnswer, CommandResult::kNoAnswer}));
  EXPECT_FALSE(queue.Next(t0 + 1000ms, 1000ms));
  next->done(CommandResult::kRefused);
}

// --- A polled scale on a timed wire. ---

class TimedScale : public SerialApi {
 public:
  TimedScale(std::string request, std::string command) : request_(request), command_(command) {}

  void AnswerPolls(const std::string& record) {
    std::lock_guard<std::mutex> lock(mutex_);
    poll_answer_ = record;
  }
  void AnswerCommand(const std::string& answer) {
    std::lock_guard<std::mutex> lock(mutex_);
    command_answer_ = answer;
  }
  std::size_t Polls() {
    std::lock_guard<std::mutex> lock(mutex_);
    return polls_;
  }
  std::size_t Commands() {
    std::lock_guard<std::mutex> lock(mutex_);
    return commands_;
  }

  OpenOutcome Open(const std::string&) override { return {7, 0}; }
  void Purge(PortHandle) override {}
  SysStatus SetState(PortHandle, const LineSettings&) override { return {}; }
  SysStatus SetTimeouts(PortHandle, const CommTimeouts&) override { return {}; }
  void Close(PortHandle) override {}

  SysStatus Write(PortHandle, const std::uint8_t* data, std::uint32_t count) override {
    std::lock_guard<std::mutex> lock(mutex_);
    const std::string bytes(reinterpret_cast<const char*>(data), count);
    if (bytes == command_) {
      ++commands_;
      Schedule(command_answer_);
    } else if (bytes.find(request_) != std::string::npos) {
      polls_ += bytes == request_ ? 1 : 0;  // detection's probe is no poll of the engine's
      Schedule(poll_answer_);
    }
    return {};
  }

  ReadOutcome Read(PortHandle, std::uint8_t* buffer, std::uint32_t count) override {
    std::unique_lock<std::mutex> lock(mutex_);
    const Clock::time_point until = Clock::now() + 10ms;
    while (Due() == 0 && Clock::now() < until) {
      lock.unlock();
      std::this_thread::sleep_for(1ms);
      lock.lock();
    }
    std::uint32_t n = 0;
    while (n < count && !line_.empty() && line_.front().first <= Clock::now()) {
      buffer[n++] = static_cast<std::uint8_t>(line_.front().second);
      line_.pop_front();
    }
    return {SysStatus::Ok(), n};
  }

 private:
  // The answer starts after 5 ms and takes a millisecond a byte, after what is still on the
  // line.
  void Schedule(const std::string& answer) {
    Clock::time_point at =
        std::max(Clock::now() + 5ms, line_.empty() ? Clock::time_point{} : line_.back().first);
    for (const char c : answer) line_.emplace_back(at += 1ms, c);
  }
  std::size_t Due() const { return !line_.empty() && line_.front().first <= Clock::now() ? 1 : 0; }

  std::mutex mutex_;
  std::string request_;
  std::string command_;
  std::string poll_answer_;
  std::string command_answer_;
  std::deque<std::pair<Clock::time_point, char>> line_;
  std::size_t polls_ = 0;
  std::size_t commands_ = 0;
};

struct Engine {
  testing::FakePlatform fake;
  Services services;
  std::mutex mutex;
  std::condition_variable changed;
  std::vector<Reading> readings;
  std::unique_ptr<StreamEngine> engine;
  std::thread thread;

  Engine(SerialApi& wire, const std::string& name)
      : services{wire, fake.messages, fake.locale, fake.sleeper, fake.states} {
    std::string error;
    const std::optional<NamedPort> named = ParseNamedPort(name, error);
    EXPECT_TRUE(named) << error;
    engine = std::make_unique<StreamEngine>(services, *named, StreamOptions{},
                                            [this](const Reading& r, bool) {
                                              std::lock_guard<std::mutex> lock(mutex);
                                              readings.push_back(r);
                                              changed.notify_all();
                                            });
    thread = std::thread([this] { engine->Run(); });
  }
  ~Engine() {
    engine->Stop();
    thread.join();
  }
  bool WaitForWeight(const std::string& value) {
    std::unique_lock<std::mutex> lock(mutex);
    return changed.wait_for(lock, 15s, [&] {
      return std::any_of(readings.begin(), readings.end(),
                         [&](const Reading& r) { return r.ok && r.value == value; });
    });
  }
  CommandResult Ask(ScaleCommand command, std::shared_ptr<const CommandTicket> ticket = nullptr) {
    std::promise<CommandResult> answer;
    engine->Command(
        command, [&answer](CommandResult r) { answer.set_value(r); }, std::move(ticket));
    return answer.get_future().get();
  }
};

struct PolledCase {
  std::string_view id;
  ScaleCommand command;
  std::string weight;       // the poll's answer, for detection and the first reading
  std::string value;        // what it reads as
  std::string while_asked;  // the poll's answer once the command is asked
  std::string answer;       // the scale's own answer to the command
  CommandResult expected;
};

const PolledCase kPolled[] = {
    // A status record to a poll would read as zero's refusal.
    {"toledo-8217", ScaleCommand::kZero,
     "\x02"
     "01.234\r",
     "1.234", "\x02?A\r", "\x02?P\r", CommandResult::kAcknowledged},
    // Any record to a poll would read as tare's acknowledgement.
    {"sma", ScaleCommand::kTare, "\n 1G       1.234kg \r", "1.234", "\n 1G       1.234kg \r",
     "\nT1G       1.234kg \r", CommandResult::kRefused},
    {"mt-sics", ScaleCommand::kTare, "S S      1.234 kg\r\n", "1.234", "S D      1.236 kg\r\n",
     "T I\r\n", CommandResult::kRefused},
};

// Behind "protocol=auto" a polled scale is asked at its protocol's interval, and a command is
// answered by the scale's answer to it, not by a poll's.
TEST(CommandsBehindDetection, EveryPolledProtocolKeepsItsPaceAndItsCommandRule) {
  for (const PolledCase& c : kPolled) {
    SCOPED_TRACE(std::string(c.id));
    const Protocol& protocol = *FindProtocol(c.id);
    TimedScale wire(std::string(protocol.request), std::string(protocol.command(c.command)));
    wire.AnswerPolls(c.weight);
    Engine run(wire, "COM5?protocol=auto");
    ASSERT_TRUE(run.WaitForWeight(c.value));
    const std::optional<PortProfile> profile = run.engine->profile();
    ASSERT_TRUE(profile);
    EXPECT_EQ(profile->protocol, &protocol);
    EXPECT_EQ(profile->poll_ms, protocol.poll_ms);
    EXPECT_EQ(profile->command_ms, protocol.answer_ms);

    // A second at its pace is five polls; asked on every read it was hundreds.
    const std::size_t before = wire.Polls();
    std::this_thread::sleep_for(1s);
    EXPECT_LE(wire.Polls() - before, 1000 / protocol.poll_ms + 2);

    wire.AnswerPolls(c.while_asked);
    wire.AnswerCommand(c.answer);
    for (int i = 0; i < 5; ++i) EXPECT_EQ(run.Ask(c.command), c.expected) << "try " << i;
  }
}

// A port option sets the answer window; a command that cannot go out within it is dropped
// unsent, and one withdrawn before it went out never goes.
TEST(CommandsBehindDetection, LateOrWithdrawnCommandsNeverReachTheScale) {
  const Protocol& mt = *FindProtocol("mt-sics");
  TimedScale wire(std::string(mt.request), std::string(mt.tare));
  wire.AnswerPolls("S S      2.000 kg\r\n");
  Engine run(wire, "COM5?protocol=mt-sics&command_ms=400");
  ASSERT_TRUE(run.WaitForWeight("2.000"));
  EXPECT_EQ(run.engine->profile()->command_ms, 400u);

  // The scale does not answer: the first tare takes the whole window, the one queued behind
  // it is overdue by then, and a withdrawn one is skipped.
  std::promise<CommandResult> first;
  std::promise<CommandResult> second;
  std::promise<CommandResult> third;
  auto ticket = std::make_shared<CommandTicket>();
  run.engine->Command(ScaleCommand::kTare, [&](CommandResult r) { first.set_value(r); });
  run.engine->Command(ScaleCommand::kTare, [&](CommandResult r) { second.set_value(r); });
  run.engine->Command(
      ScaleCommand::kTare, [&](CommandResult r) { third.set_value(r); }, ticket);
  ticket->Withdraw();
  EXPECT_EQ(first.get_future().get(), CommandResult::kNoAnswer);
  EXPECT_EQ(second.get_future().get(), CommandResult::kNoAnswer);
  EXPECT_EQ(third.get_future().get(), CommandResult::kNoAnswer);
  EXPECT_EQ(wire.Commands(), 1u);

  // Four waiting at once are all the port takes.
  std::vector<std::promise<CommandResult>> held(4);
  for (auto& promise : held) {
    run.engine->Command(ScaleCommand::kTare, [&promise](CommandResult r) { promise.set_value(r); });
  }
  EXPECT_EQ(run.Ask(ScaleCommand::kTare), CommandResult::kTooManyCommands);
  for (auto& promise : held) EXPECT_EQ(promise.get_future().get(), CommandResult::kNoAnswer);
  // The scale answers again: so does the port.
  wire.AnswerCommand("T S      2.000 kg\r\n");
  EXPECT_EQ(run.Ask(ScaleCommand::kTare), CommandResult::kAcknowledged);
}

// On demand, a reading asked while commands wait is taken before them: it waits for at most
// the one command already on the wire.
TEST(CommandsOnDemand, AReadingGoesBeforeWaitingCommands) {
  const Protocol& mt = *FindProtocol("mt-sics");
  TimedScale wire(std::string(mt.request), std::string(mt.zero));
  wire.AnswerPolls("S S      3.500 kg\r\n");
  testing::FakePlatform fake;
  Services services{wire, fake.messages, fake.locale, fake.sleeper, fake.states};
  std::string error;
  const std::optional<NamedPort> named =
      ParseNamedPort("COM6?protocol=mt-sics&command_ms=300", error);
  ASSERT_TRUE(named);
  std::mutex mutex;
  std::vector<std::string> order;
  auto note = [&](const std::string& what) {
    std::lock_guard<std::mutex> lock(mutex);
    order.push_back(what);
  };
  std::promise<void> all_done;
  int remaining = 4;
  auto finished = [&] {
    std::lock_guard<std::mutex> lock(mutex);
    if (--remaining == 0) all_done.set_value();
  };
  {
    OnDemandReader reader(services, fake.messages, *named);
    for (int i = 0; i < 3; ++i) {
      reader.Command(ScaleCommand::kZero, [&, i](CommandResult) {
        note("zero " + std::to_string(i));
        finished();
      });
    }
    std::this_thread::sleep_for(50ms);  // the first zero is on the wire
    reader.Request([&](const Reading& r) {
      note(r.ok ? "reading " + r.value : "no reading");
      finished();
    });
    all_done.get_future().wait();
  }
  ASSERT_EQ(order.size(), 4u);
  EXPECT_EQ(order[0], "zero 0");
  EXPECT_EQ(order[1], "reading 3.500");
}

// A bare status says nothing new: the weight found before stands, for no longer than a port may
// go without a weight, and the port is never taken for one speaking another protocol.
TEST(FramesWithoutAWeight, KeepTheLastReadingForTheNoFrameTime) {
  const Protocol& toledo = *FindProtocol("toledo-8217");
  TimedScale wire(std::string(toledo.request), std::string(toledo.zero));
  wire.AnswerPolls(
      "\x02"
      "02.500\r");
  Engine run(wire, "COM5?protocol=toledo-8217");
  ASSERT_TRUE(run.WaitForWeight("2.500"));
  std::size_t before = 0;
  {
    std::lock_guard<std::mutex> lock(run.mutex);
    before = run.readings.size();
  }
  wire.AnswerPolls("\x02?P\r");
  std::this_thread::sleep_for(2500ms);  // a dozen bare statuses
  std::lock_guard<std::mutex> lock(run.mutex);
  std::vector<Reading> after(run.readings.begin() + static_cast<std::ptrdiff_t>(before),
                             run.readings.end());
  std::size_t without = 0;
  for (const Reading& r : after) {
    if (r.ok) continue;
    ++without;
    EXPECT_EQ(r.error, ReadingError::kNoReading);
    EXPECT_FALSE(r.message) << *r.message;  // its own frames: nothing to explain
  }
  EXPECT_EQ(without, 1u);  // once, when the weight was too old to stand
}

// A scale set to another protocol looks like silence; the reading says what its bytes are.
TEST(SilenceExplained, BytesOfAnotherProtocolAreNamed) {
  // A continuous scale that sends CAS records whatever it is asked.
  class CasScale : public TimedScale {
   public:
    CasScale() : TimedScale("", "") {}
    ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) override {
      const std::string record = "ST,GS,+001.500 kg\r\n";
      std::this_thread::sleep_for(20ms);
      const std::uint32_t n = std::min(count, static_cast<std::uint32_t>(record.size()));
      std::memcpy(buffer, record.data(), n);
      (void)handle;
      return {SysStatus::Ok(), n};
    }
  } wire;
  Engine run(wire, "COM8?protocol=sma");
  std::unique_lock<std::mutex> lock(run.mutex);
  const bool explained = run.changed.wait_for(lock, 10s, [&] {
    return std::any_of(run.readings.begin(), run.readings.end(), [](const Reading& r) {
      return r.message && r.message->find("cas") != std::string::npos;
    });
  });
  ASSERT_TRUE(explained);
  for (const Reading& r : run.readings) {
    EXPECT_FALSE(r.ok);
    if (r.message) {
      EXPECT_NE(r.message->find("COM8?protocol=cas"), std::string::npos) << *r.message;
    }
  }
}

TEST(SilenceExplained, MessagesSayWhatTheBytesAre) {
  const Protocol& sma = *FindProtocol("sma");
  EXPECT_EQ(UndecodedMessage("COM1", sma, ""), "");
  const std::string garbage = UndecodedMessage("COM1", sma, std::string(64, '\xF3'));
  EXPECT_NE(garbage.find("COM1?protocol=auto"), std::string::npos) << garbage;
  EXPECT_EQ(garbage.find("read as "), std::string::npos) << garbage;
  // One stray frame is not enough to name a protocol.
  EXPECT_EQ(ProtocolOfBytes("ST,GS,+001.500 kg\r\n", sma), nullptr);
  const std::string cas = "ST,GS,+001.500 kg\r\nST,GS,+001.500 kg\r\n";
  EXPECT_EQ(ProtocolOfBytes(cas, sma), FindProtocol("cas"));
  // The same bytes sent at 7E1 and read at 8N1 carry their parity in bit 7.
  std::string with_parity = cas;
  for (char& c : with_parity) {
    int ones = 0;
    for (unsigned bits = static_cast<unsigned char>(c); bits != 0; bits >>= 1) ones += bits & 1;
    if (ones % 2 != 0) c = static_cast<char>(c | 0x80);
  }
  EXPECT_EQ(ProtocolOfBytes(with_parity, sma), FindProtocol("cas"));
}

}  // namespace
}  // namespace qel
