// The serial link: open and configure the port, read one buffer, close, blank the buffer.
// Every operation acts on the LinkState it is given (the calling thread's) and reports
// device failures to the user where they happen.
#pragma once

#include <cstdint>
#include <string_view>

#include "link_state.h"
#include "port_opening.h"
#include "protocol.h"
#include "services.h"

namespace qel::ModuleAPI {

inline constexpr std::int32_t kBaudRate = 9600;

void ClearBuffer(LinkState& link);

// Converts to true when the port is open and configured and link.PortHandle is valid.
// Throws RuntimeFault when baud is 0 (the handle is closed first).
PortOpening OpenPort(LinkState& link, const Services& services, std::string_view name,
                     std::int32_t baud);

// False when the read failed (and the message was shown).
bool ReadPort(LinkState& link, const Services& services);

void ClosePort(LinkState& link, const Services& services);

// The values OpenPort hands to the platform, exposed for the back ends' tests.
LineSettings MakeLineSettings(std::int32_t baud);
CommTimeouts MakeTimeouts(std::int32_t baud);

// The driver's line settings with the speed, framing and modem lines of `line`: how a port
// is opened for a protocol. The qel protocol's line gives MakeLineSettings(9600) exactly.
LineSettings LineSettingsFor(const LineFormat& line);

}  // namespace qel::ModuleAPI
