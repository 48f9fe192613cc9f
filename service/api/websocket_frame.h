// A server's WebSocket text frame, built once per message so every client gets the same
// bytes: FIN, text opcode, the length, no mask, then the payload.
#pragma once

#include <string>
#include <string_view>

namespace qeld {

std::string TextFrame(std::string_view payload);

}  // namespace qeld
