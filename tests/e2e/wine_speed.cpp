// Apart from the tests: <asm/termbits.h> and <termios.h> cannot meet in one file.
#include "wine_speed.h"

#include <asm/termbits.h>
#include <sys/ioctl.h>

namespace qel::e2e {

bool SetSpeedAsWineDoes(int fd, std::uint32_t baud) {
  termios2 tio{};
  if (ioctl(fd, TCGETS2, &tio) != 0) return false;
  tio.c_cflag &= ~static_cast<tcflag_t>(CBAUD | (CBAUD << IBSHIFT));
  tio.c_cflag |= BOTHER | (BOTHER << IBSHIFT);
  tio.c_ospeed = baud;
  tio.c_ispeed = baud;
  return ioctl(fd, TCSETS2, &tio) == 0;
}

}  // namespace qel::e2e
