// A scripted platform for reaching the link's error paths, which real ports rarely produce
// on demand. Every call is logged in order so tests can check the sequence.
#pragma once

#include <cstring>
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "services.h"

namespace qel::testing {

class FakeSerial : public SerialApi {
 public:
  // Script for the next calls.
  std::uint32_t open_error = 0;       // non-zero: Open fails with this code
  std::uint32_t set_state_error = 0;  // non-zero: SetState fails with this code
  std::uint32_t set_timeouts_error = 0;
  std::uint32_t read_error = 0;   // non-zero: Read fails with this code after copying nothing
  std::string incoming;           // what the next Read finds waiting
  std::string written;            // every byte written, in order
  std::uint32_t write_error = 0;  // non-zero: Write fails with this code
  PortHandle next_handle = 42;    // every open hands out the next number

  // What happened.
  std::vector<std::string> calls;
  std::string last_device;
  LineSettings last_settings;
  CommTimeouts last_timeouts;
  std::uint32_t last_read_count = 0;
  int open_handles = 0;
  std::set<PortHandle> held;       // opened and not closed yet
  std::vector<PortHandle> closed;  // in the order of the closes

  OpenOutcome Open(const std::string& device) override {
    calls.push_back("Open");
    last_device = device;
    if (open_error != 0) return {kInvalidPortHandle, open_error};
    ++open_handles;
    held.insert(next_handle);
    return {next_handle++, 0};
  }
  void Purge(PortHandle) override { calls.push_back("Purge"); }
  SysStatus SetState(PortHandle, const LineSettings& settings) override {
    calls.push_back("SetState");
    last_settings = settings;
    return set_state_error != 0 ? SysStatus::Fail(set_state_error) : SysStatus::Ok();
  }
  SysStatus SetTimeouts(PortHandle, const CommTimeouts& timeouts) override {
    calls.push_back("SetTimeouts");
    last_timeouts = timeouts;
    return set_timeouts_error != 0 ? SysStatus::Fail(set_timeouts_error) : SysStatus::Ok();
  }
  ReadOutcome Read(PortHandle, std::uint8_t* buffer, std::uint32_t count) override {
    calls.push_back("Read");
    last_read_count = count;
    if (read_error != 0) return {SysStatus::Fail(read_error), 0};
    const std::size_t n = incoming.size() < count ? incoming.size() : count;
    std::memcpy(buffer, incoming.data(), n);
    incoming.erase(0, n);
    return {SysStatus::Ok(), static_cast<std::uint32_t>(n)};
  }
  SysStatus Write(PortHandle, const std::uint8_t* data, std::uint32_t count) override {
    calls.push_back("Write");
    written.append(reinterpret_cast<const char*>(data), count);
    return write_error != 0 ? SysStatus::Fail(write_error) : SysStatus::Ok();
  }
  void Close(PortHandle handle) override {
    calls.push_back("Close");
    --open_handles;
    held.erase(handle);
    closed.push_back(handle);
  }
};

struct ShownMessage {
  std::string text;
  std::string caption;
  MessageIcon icon;
};

class RecordingMessages : public MessageSink {
 public:
  std::vector<ShownMessage> shown;
  // Runs while the box is up, as a client's timer or a host's event loop runs then.
  std::function<void()> while_shown;
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override {
    shown.push_back({std::string(text), std::string(caption), icon});
    if (while_shown) while_shown();
  }
};

class FixedLocale : public LocaleSource {
 public:
  NumberFormat format{",", true};
  NumberFormat UserNumberFormat() override { return format; }
};

class RecordingSleeper : public Sleeper {
 public:
  std::vector<std::uint32_t> pauses;
  std::vector<std::string>* log = nullptr;
  void SleepMs(std::uint32_t ms) override {
    pauses.push_back(ms);
    if (log != nullptr) log->push_back("Sleep");
  }
};

// Real per-thread storage, as the platforms provide it.
class ThreadLocalStates : public LinkStateStore {
 public:
  LinkState& ForCurrentThread() override {
    thread_local LinkState state;
    return state;
  }
};

struct FakePlatform {
  FakeSerial serial;
  RecordingMessages messages;
  FixedLocale locale;
  RecordingSleeper sleeper;
  ThreadLocalStates states;
  Services services{serial, messages, locale, sleeper, states};

  FakePlatform() { sleeper.log = &serial.calls; }
};

}  // namespace qel::testing
