// Setting a port's speed the way Wine's serial layer does: BOTHER with the rate as a number
// (TCSETS2), which the termios interface cannot show as a standard speed.
#pragma once

#include <cstdint>

namespace qel::e2e {

// False when the terminal refused it.
bool SetSpeedAsWineDoes(int fd, std::uint32_t baud);

}  // namespace qel::e2e
