// Windows back ends of the seams; PlatformServices() hands out one instance of each.
#pragma once

#include "services.h"

namespace qel::win32 {

class Win32Serial final : public SerialApi {
 public:
  OpenOutcome Open(const std::string& device) override;
  void Purge(PortHandle handle) override;
  SysStatus SetState(PortHandle handle, const LineSettings& settings) override;
  SysStatus SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override;
  ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) override;
  SysStatus Write(PortHandle handle, const std::uint8_t* data, std::uint32_t count) override;
  void Close(PortHandle handle) override;
};

class Win32MessageBox final : public MessageSink {
 public:
  void Show(std::string_view text, std::string_view caption, MessageIcon icon) override;
};

class Win32Locale final : public LocaleSource {
 public:
  NumberFormat UserNumberFormat() override;
};

class Win32Sleeper final : public Sleeper {
 public:
  void SleepMs(std::uint32_t milliseconds) override;
};

// One LinkState per thread, found through a TLS slot; see platform.h for its release.
class TlsLinkStateStore final : public LinkStateStore {
 public:
  LinkState& ForCurrentThread() override;
};

}  // namespace qel::win32
