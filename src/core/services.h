// The seams between the portable driver and the platform. Each platform folder provides
// one implementation of every interface; unit tests provide fakes.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "link_state.h"
#include "message_icon.h"

namespace qel {

// Outcome of one platform call. `code` is the platform's own error number
// (GetLastError() on Windows, errno on POSIX), kept as data until a message is composed.
struct SysStatus {
  bool ok = true;
  std::uint32_t code = 0;

  static SysStatus Ok() { return {}; }
  static SysStatus Fail(std::uint32_t error) { return {false, error}; }
};

struct OpenOutcome {
  PortHandle handle = kInvalidPortHandle;
  std::uint32_t code = 0;  // meaningful when handle == kInvalidPortHandle
};

struct ReadOutcome {
  SysStatus status;
  std::uint32_t bytes_read = 0;  // what the platform left, also after a failure
};

// The kernel32 serial calls the link needs, one method each.
class SerialApi {
 public:
  virtual ~SerialApi() = default;
  // CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr).
  // `device` is UTF-8 ("COM1:"); the back end converts it to the system code page.
  virtual OpenOutcome Open(const std::string& device) = 0;
  virtual void Purge(PortHandle handle) = 0;  // PurgeComm(handle, 0); result ignored
  virtual SysStatus SetState(PortHandle handle, const LineSettings& settings) = 0;
  virtual SysStatus SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) = 0;
  // Synchronous read of up to `count` bytes under the timeouts last set.
  virtual ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) = 0;
  // Synchronous write of all `count` bytes (WriteFile); fails when not all went out in time.
  virtual SysStatus Write(PortHandle handle, const std::uint8_t* data, std::uint32_t count) = 0;
  virtual void Close(PortHandle handle) = 0;  // result ignored
};

// A modal message box with an OK button only; returns when the user has dismissed it.
class MessageSink {
 public:
  virtual ~MessageSink() = default;
  virtual void Show(std::string_view text, std::string_view caption, MessageIcon icon) = 0;
};

// The user's number format, as far as weight texts need it.
struct NumberFormat {
  std::string decimal_separator = ".";
  bool leading_zero = true;  // "0,5" rather than ",5"
};

class LocaleSource {
 public:
  virtual ~LocaleSource() = default;
  virtual NumberFormat UserNumberFormat() = 0;
};

class Sleeper {
 public:
  virtual ~Sleeper() = default;
  virtual void SleepMs(std::uint32_t milliseconds) = 0;
};

// Where the calling thread's LinkState lives. Every thread gets its own, created on first use.
class LinkStateStore {
 public:
  virtual ~LinkStateStore() = default;
  virtual LinkState& ForCurrentThread() = 0;
};

struct Services {
  SerialApi& serial;
  MessageSink& messages;
  LocaleSource& locale;
  Sleeper& sleeper;
  LinkStateStore& states;
};

// Caption of the driver library's own message boxes.
inline constexpr std::string_view kDriverCaption = "Qel_weigher";

}  // namespace qel
