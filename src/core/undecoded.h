// What a port gave that read as no frame of its protocol. A scale set to another protocol or
// line looks like silence to a reader that expects the wrong frames; keeping the last bytes
// read lets the reading say so, and name the protocol they do read as.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "protocol.h"
#include "services.h"

namespace qel {

// Passes every call on to `inner`, keeping the last bytes read since Forget().
class ReadRecorder final : public SerialApi {
 public:
  static constexpr std::size_t kKeep = 512;

  explicit ReadRecorder(SerialApi& inner) : inner_(inner) {}

  OpenOutcome Open(const std::string& device) override { return inner_.Open(device); }
  void Purge(PortHandle handle) override { inner_.Purge(handle); }
  SysStatus SetState(PortHandle handle, const LineSettings& settings) override {
    return inner_.SetState(handle, settings);
  }
  SysStatus SetTimeouts(PortHandle handle, const CommTimeouts& timeouts) override {
    return inner_.SetTimeouts(handle, timeouts);
  }
  ReadOutcome Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) override;
  SysStatus Write(PortHandle handle, const std::uint8_t* data, std::uint32_t count) override {
    return inner_.Write(handle, data, count);
  }
  void Close(PortHandle handle) override { inner_.Close(handle); }

  // The last bytes read (at most kKeep) since Forget().
  std::string_view recent() const { return recent_; }
  void Forget() { recent_.clear(); }

 private:
  SerialApi& inner_;
  std::string recent_;
};

// The protocol other than `expected` whose frames `bytes` hold (two that decode, as detection
// asks); nullptr when none does.
const Protocol* ProtocolOfBytes(std::string_view bytes, const Protocol& expected);

// The message for a port that gives bytes of which none read as `expected`'s frames; empty
// when it gave none (a silent port says nothing more than "no-reading").
std::string UndecodedMessage(std::string_view port, const Protocol& expected,
                             std::string_view bytes);

}  // namespace qel
