#include "undecoded.h"

#include <algorithm>

#include "detection.h"

namespace qel {

ReadOutcome ReadRecorder::Read(PortHandle handle, std::uint8_t* buffer, std::uint32_t count) {
  const ReadOutcome read = inner_.Read(handle, buffer, count);
  if (read.status.ok && read.bytes_read > 0) {
    recent_.append(reinterpret_cast<const char*>(buffer), std::min(read.bytes_read, count));
    if (recent_.size() > kKeep) recent_.erase(0, recent_.size() - kKeep);
  }
  return read;
}

namespace {

bool IsScaleFrame(ScaleFrame::Kind kind) {
  switch (kind) {
    case ScaleFrame::Kind::kWeight:
    case ScaleFrame::Kind::kMotion:
    case ScaleFrame::Kind::kOverload:
    case ScaleFrame::Kind::kUnderZero:
      return true;
    default:
      return false;
  }
}

std::size_t FramesOf(const Protocol& protocol, std::string_view bytes) {
  std::size_t decoded = 0;
  for (;;) {
    std::string_view frame;
    const std::size_t used = protocol.split(bytes, frame);
    if (used == 0) break;
    if (!frame.empty() && IsScaleFrame(protocol.decode(frame).kind)) ++decoded;
    bytes.remove_prefix(used);
  }
  return decoded;
}

}  // namespace

const Protocol* ProtocolOfBytes(std::string_view bytes, const Protocol& expected) {
  for (const Protocol* protocol : Protocols()) {
    if (protocol != &expected && FramesOf(*protocol, bytes) >= 2) return protocol;
  }
  // 7-bit data read as 8-bit shows its parity in bit 7: without it, it may read as frames.
  if (ParityHint(bytes) == 'N') return nullptr;
  std::string seven(bytes);
  for (char& c : seven) c = static_cast<char>(c & 0x7F);
  for (const Protocol* protocol : Protocols()) {
    if (protocol != &expected && FramesOf(*protocol, seven) >= 2) return protocol;
  }
  return nullptr;
}

std::string UndecodedMessage(std::string_view port, const Protocol& expected,
                             std::string_view bytes) {
  if (bytes.empty()) return "";
  const std::string name(port);
  std::string text =
      name + ": bytes arrive, but none reads as a " + std::string(expected.id) + " frame";
  if (const Protocol* other = ProtocolOfBytes(bytes, expected)) {
    return text + "; they read as " + std::string(other->id) + " frames: name the port " + name +
           "?protocol=" + std::string(other->id) + " (or " + name + "?protocol=auto)";
  }
  return text + ": try " + name + "?protocol=auto to find the scale's protocol and line";
}

}  // namespace qel
