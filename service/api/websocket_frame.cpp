#include "websocket_frame.h"

#include <cstdint>

namespace qeld {

std::string TextFrame(std::string_view payload) {
  const std::uint64_t size = payload.size();
  std::string frame;
  frame.reserve(payload.size() + 10);
  frame += static_cast<char>(0x81);  // FIN, text
  int length_bytes = 0;
  if (size < 126) {
    frame += static_cast<char>(size);
  } else if (size <= 0xFFFF) {
    frame += static_cast<char>(126);
    length_bytes = 2;
  } else {
    frame += static_cast<char>(127);
    length_bytes = 8;
  }
  for (int i = length_bytes - 1; i >= 0; --i) {
    frame += static_cast<char>((size >> (8 * i)) & 0xFF);
  }
  frame += payload;
  return frame;
}

}  // namespace qeld
