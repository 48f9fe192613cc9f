// The line a client set on the pseudo-terminal. A pseudo-terminal forces CS8 and clears
// PARENB on every tcsetattr, so the data bits and parity a client chose survive only in the
// input flags a real 7-bit or parity line wants and the pseudo-terminal keeps: ISTRIP (7 data
// bits) and INPCK (parity checked; PARODD, which c_cflag keeps, says odd). The speed and
// CSTOPB are kept as set. The driver's POSIX back end sets these flags with the framing.
#pragma once

#include <cstdint>

#include "line.h"

namespace vscale {

// The client's line as the master sees it (a TCGETS on the master returns the slave's
// settings); speed 0 when the client set none (B0).
LineFormat ClientLine(int master);

// The client's speed in baud, whichever way it was set; 0 when unknown.
std::uint32_t ClientSpeed(int master);

// Gives `slave` a raw line in `line`, as the scale's own for clients that set none.
void SetRawLine(int slave, const LineFormat& line);

}  // namespace vscale
