#include "available_ports.h"

#include "reading_json.h"

namespace qeld {

std::string AvailablePortsJson(const std::vector<qel::SerialPortEntry>& ports) {
  std::string out = "[";
  for (const qel::SerialPortEntry& port : ports) {
    if (out.size() > 1) out += ',';
    out += "{\"name\":" + JsonString(port.name) +
           ",\"description\":" + JsonString(port.description) + "}";
  }
  return out + "]";
}

std::string AvailablePortsJson() { return AvailablePortsJson(qel::ListSerialPorts()); }

}  // namespace qeld
