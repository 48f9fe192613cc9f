// The stream engine: holds one port open (exclusively), splits the scale's output into the
// frames of the port's protocol as they arrive (asking a polled scale at its interval),
// decodes each, tracks stability, carries out zero and tare, and reopens the port with
// backoff when the device vanishes. A port named without options reads the driver's frames
// on the driver's line. Portable: it reaches the platform only through the seams of
// services.h.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command_queue.h"
#include "named_port.h"
#include "reading.h"
#include "scale_link.h"
#include "services.h"
#include "undecoded.h"
#include "weight_decoding.h"

namespace qel {

// Cuts a byte stream into frames: "=" and the 7 characters after it. A frame cut off by a
// new "=" (or by Reset, when the device vanishes) is no frame at all.
class FrameSplitter {
 public:
  // Appends every frame completed by `data` to `frames` ("=" + 7 characters each).
  void Feed(const std::uint8_t* data, std::size_t size, std::vector<std::string>& frames);
  void Reset() { partial_.clear(); }

 private:
  std::string partial_;  // empty, or "=" and fewer than 7 further characters
};

using DecodedFrame = DecodedWeight;

// The driver's rules for one complete frame: the field trimmed of trailing
// spaces, the frame's "." as the decimal point, the numeric test, no negative weights.
DecodedFrame DecodeFrame(std::string_view frame, const NumberFormat& format);

// Stable once every frame for at least `stable_for` carried the same value.
class StabilityTracker {
 public:
  using Clock = std::chrono::steady_clock;
  explicit StabilityTracker(std::chrono::milliseconds stable_for) : stable_for_(stable_for) {}

  // A frame with `value` ("" for a frame without a reading) arrived at `now`.
  void OnFrame(const std::string& value, Clock::time_point now);
  void Reset() { value_.reset(); }
  bool IsStable(Clock::time_point now) const;

 private:
  std::chrono::milliseconds stable_for_;
  std::optional<std::string> value_;
  Clock::time_point since_{};
};

struct StreamOptions {
  std::chrono::milliseconds stable_for{500};
  // An open port without a valid frame for this long has no reading.
  std::chrono::milliseconds no_frame_after{1000};
  std::chrono::milliseconds backoff_min{100};
  std::chrono::milliseconds backoff_max{2000};
  // Longest wait of one read for the first byte, so stop requests and timers are seen.
  std::uint32_t read_wait_ms = 50;
};

// The read timeouts of a stream: return as soon as any byte is there, else after `wait_ms`.
CommTimeouts StreamTimeouts(std::uint32_t wait_ms);

// An auto-detected port whose frames stopped decoding for this long is detected again.
inline constexpr std::chrono::milliseconds kRedetectAfter{3000};
// A port whose bytes read as no frame for this long says what they read as, if anything.
inline constexpr std::chrono::milliseconds kExplainAfter{3000};

class StreamEngine {
 public:
  // Called on the engine's thread for every frame and every state change; `changed` tells
  // whether value, stability or error differ from the last call. Must not block for long.
  using Listener = std::function<void(const Reading& reading, bool changed)>;

  using CommandDone = CommandQueue::Done;
  // The driver's frames on the driver's line.
  StreamEngine(Services& services, std::string port, StreamOptions options, Listener listener);
  // A port as named with its options.
  StreamEngine(Services& services, NamedPort named, StreamOptions options, Listener listener);
  StreamEngine(const StreamEngine&) = delete;
  StreamEngine& operator=(const StreamEngine&) = delete;

  // Runs on the calling thread until Stop(). The port is closed when it returns.
  void Run();
  // Thread-safe; Run() returns soon after.
  void Stop();

  const std::string& port() const { return port_; }
  // Thread-safe. `done` runs on the engine's thread once the scale answered or the wait
  // ended; at once when the protocol has no such command or the port has its most commands
  // waiting (CommandQueue). A `ticket` withdrawn before the command is sent keeps it unsent.
  void Command(ScaleCommand command, CommandDone done,
               std::shared_ptr<const CommandTicket> ticket = nullptr);
  // How the port is spoken to now; nothing while it is being detected.
  std::optional<PortProfile> profile() const;
  // The protocol read now; nullptr while it is being detected.
  const Protocol* protocol() const;
  // The line in use (meaningful when protocol() is set).
  LineFormat line() const;

  // Counters, for metrics; readable from any thread.
  struct Counters {
    std::uint64_t opens = 0;
    std::uint64_t frames = 0;
    std::uint64_t readings = 0;  // frames with a valid weight
  };
  Counters counters() const;

 private:
  bool Stopped();
  // Waits up to `delay` unless stopped; false when stopped.
  bool Wait(std::chrono::milliseconds delay);
  // Reports an error state; shows `message` once per episode through the message sink.
  void Fail(ReadingError error, const std::string& message);
  void Publish(Reading reading);
  void ReadLoop(PortHandle handle, const PortProfile& profile);
  // protocol=auto: finds the protocol and line; false (the failure reported) when none.
  bool Detect();
  // Starts a queued command, ends the one whose answer is overdue, and asks a polled scale
  // once its interval passed.
  SysStatus Drive(ScaleLink& link, const PortProfile& profile,
                  std::chrono::steady_clock::time_point now);
  // False when `frame` was the pending command's answer, which is no reading.
  bool AnswerCommand(const Protocol& protocol, const std::string& frame);
  // True when the frame gave a reading (a command's answer or a frame without a weight gives
  // none).
  bool OnFrame(const Protocol& protocol, const std::string& frame, StabilityTracker& stability,
               std::chrono::steady_clock::time_point now);
  // Adds to a reading without a weight what the port's bytes are, once they have been no
  // frame for kExplainAfter.
  void Explain(const Protocol& protocol, Reading& reading,
               std::chrono::steady_clock::time_point now);
  void FinishCommands(CommandResult result);
  // The port is open but nothing read as a weight for a while: says why where it can.
  void ReportNoReading(const Protocol& protocol, std::chrono::steady_clock::time_point now);

  Services& services_;
  std::string port_;
  NamedPort named_;
  std::optional<PortProfile> profile_;  // guarded by mutex_; empty while detecting
  CommandQueue commands_;
  // Set by Command() once a command is queued; the read loop looks in the queue only then.
  std::atomic<bool> commands_waiting_{false};
  // Engine thread only: the command sent, when its answer is due, the next poll.
  std::optional<CommandQueue::Entry> asked_;
  std::chrono::steady_clock::time_point answer_due_{};
  std::chrono::steady_clock::time_point next_poll_{};
  bool poll_outstanding_ = false;  // a poll was sent and no frame came since
  std::chrono::steady_clock::time_point poll_sent_{};
  std::chrono::steady_clock::time_point last_decoded_{};  // the last frame of the protocol
  StreamOptions options_;
  Listener listener_;
  NumberFormat format_;

  mutable std::mutex mutex_;
  std::condition_variable wake_;
  bool stop_ = false;
  // stop_ as the read loop checks it on every read, without the lock.
  std::atomic<bool> stopping_{false};
  Counters counters_;

  std::optional<Reading> last_;
  // Every read goes through it (engine thread only): what the port gave since its last
  // weight, for saying what it was when nothing decodes.
  ReadRecorder recorder_{services_.serial};
};

}  // namespace qel
