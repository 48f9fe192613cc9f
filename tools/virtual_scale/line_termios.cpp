#include "line_termios.h"

#include <termios.h>

namespace vscale {
namespace {

struct Speed {
  std::uint32_t baud;
  speed_t speed;
};
constexpr Speed kSpeeds[] = {
    {1200, B1200},   {2400, B2400},   {4800, B4800},   {9600, B9600},
    {19200, B19200}, {38400, B38400}, {57600, B57600}, {115200, B115200},
};

}  // namespace

LineFormat ClientLine(int master) {
  LineFormat line;
  line.baud = ClientSpeed(master);
  termios tio{};
  if (tcgetattr(master, &tio) != 0) line.baud = 0;
  line.data_bits = (tio.c_iflag & ISTRIP) != 0 ? 7 : 8;
  line.parity = (tio.c_iflag & INPCK) == 0 ? 'N' : ((tio.c_cflag & PARODD) != 0 ? 'O' : 'E');
  line.stop_bits = (tio.c_cflag & CSTOPB) != 0 ? 2 : 1;
  return line;
}

void SetRawLine(int slave, const LineFormat& line) {
  termios tio{};
  if (tcgetattr(slave, &tio) != 0) return;
  cfmakeraw(&tio);
  for (const Speed& entry : kSpeeds) {
    if (entry.baud != line.baud) continue;
    cfsetispeed(&tio, entry.speed);
    cfsetospeed(&tio, entry.speed);
  }
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(PARODD | CSTOPB);
  tio.c_iflag &= ~static_cast<tcflag_t>(INPCK | ISTRIP | IGNPAR | PARMRK);
  if (line.data_bits == 7) tio.c_iflag |= ISTRIP;
  if (line.parity != 'N') tio.c_iflag |= INPCK;
  if (line.parity == 'O') tio.c_cflag |= PARODD;
  if (line.stop_bits == 2) tio.c_cflag |= CSTOPB;
  tcsetattr(slave, TCSANOW, &tio);
}

}  // namespace vscale
