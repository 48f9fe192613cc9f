// The client's speed as a number. Newer Wine sets a serial port's speed as BOTHER with the rate
// in c_ospeed (TCSETS2), which the termios interface shows as no standard speed at all; the
// kernel keeps the rate as a number for either way of setting it, so read that. Apart from
// line_termios.cpp: <asm/termbits.h> and <termios.h> cannot meet in one file.
#include <asm/termbits.h>
#include <sys/ioctl.h>

#include "line_termios.h"

namespace vscale {

std::uint32_t ClientSpeed(int master) {
  termios2 tio{};
  if (ioctl(master, TCGETS2, &tio) != 0) return 0;
  return tio.c_ospeed;
}

}  // namespace vscale
