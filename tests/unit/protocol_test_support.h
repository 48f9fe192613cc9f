// Feeding bytes through a protocol row as the readers do: split, then decode each frame.
#pragma once

#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "protocol.h"

namespace qel::testing {

// Every frame `protocol` cuts from `stream`, in order, as owned strings.
inline std::vector<std::string> SplitAll(const Protocol& protocol, std::string_view stream) {
  std::vector<std::string> frames;
  while (!stream.empty()) {
    std::string_view frame;
    const std::size_t used = protocol.split(stream, frame);
    if (used == 0) break;
    if (!frame.empty()) frames.emplace_back(frame);
    stream.remove_prefix(used);
  }
  return frames;
}

inline std::vector<ScaleFrame> DecodeAll(const Protocol& protocol, std::string_view stream) {
  std::vector<ScaleFrame> decoded;
  for (const std::string& frame : SplitAll(protocol, stream)) {
    decoded.push_back(protocol.decode(frame));
  }
  return decoded;
}

// The checksum byte that makes the 7-bit sum of `record` and itself zero.
inline char Checksum7(std::string_view record) {
  unsigned sum = 0;
  for (const char c : record) sum += static_cast<unsigned char>(c);
  return static_cast<char>((128u - (sum & 0x7Fu)) & 0x7Fu);
}

inline const Protocol& ProtocolById(std::string_view id) {
  const Protocol* protocol = FindProtocol(id);
  if (protocol == nullptr) throw std::invalid_argument("no protocol " + std::string(id));
  return *protocol;
}

}  // namespace qel::testing
