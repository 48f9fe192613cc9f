// Feeds arbitrary bytes through one protocol's split, decode and replies; the first byte
// picks the protocol. Beyond memory safety it checks what readers rely on: a split consumes
// no more than it was given, its frame lies within what it consumed, it waits only while
// the buffer is short (no unbounded holding), and a weight is always in the normal form.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "protocol.h"

namespace {

// "-"? digits without leading zeros ("0" alone allowed), then "." and digits, optionally.
bool Normalised(std::string_view value) {
  if (!value.empty() && value[0] == '-') value.remove_prefix(1);
  const std::size_t point = value.find('.');
  const std::string_view integer = value.substr(0, point);
  const std::string_view fraction =
      point == std::string_view::npos ? std::string_view{} : value.substr(point + 1);
  auto digits = [](std::string_view text) {
    if (text.empty()) return false;
    for (const char c : text) {
      if (c < '0' || c > '9') return false;
    }
    return true;
  };
  if (!digits(integer) || (integer.size() > 1 && integer[0] == '0')) return false;
  return point == std::string_view::npos || digits(fraction);
}

void Check(const qel::Protocol& protocol, std::string_view frame) {
  const qel::ScaleFrame decoded = protocol.decode(frame);
  if (decoded.kind == qel::ScaleFrame::Kind::kWeight && !Normalised(decoded.value)) std::abort();
  if (decoded.kind != qel::ScaleFrame::Kind::kWeight && !decoded.value.empty()) std::abort();
  if (!decoded.tare.empty() && !Normalised(decoded.tare)) std::abort();
  for (const qel::ScaleCommand command : {qel::ScaleCommand::kZero, qel::ScaleCommand::kTare}) {
    const qel::ScaleFrame::Kind reply = protocol.reply(command, frame);
    if (protocol.command(command).empty() && reply != qel::ScaleFrame::Kind::kInvalid) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const auto& table = qel::Protocols();
  const qel::Protocol& protocol = *table[data[0] % table.size()];
  std::string_view buffer(reinterpret_cast<const char*>(data + 1), size - 1);
  // Decoding the whole input as one frame reaches the grammar without the split's help.
  Check(protocol, buffer);
  while (!buffer.empty()) {
    std::string_view frame;
    const std::size_t used = protocol.split(buffer, frame);
    if (used > buffer.size()) std::abort();
    if (used == 0) {
      if (buffer.size() > 66 || !frame.empty()) std::abort();
      break;
    }
    if (!frame.empty()) {
      if (frame.data() != buffer.data() || frame.size() > used) std::abort();
      Check(protocol, frame);
    }
    buffer.remove_prefix(used);
  }
  return 0;
}
