#include "available_ports.h"

#include <chrono>

#include "port_list_cache.h"
#include "reading_json.h"

namespace qeld {
namespace {

using namespace std::chrono_literals;

qel::PortListCache& ProcessPortList() {
  // Never destroyed: at exit its worker may still be listing, or already ended by the system,
  // and a destructor would wait for it.
  static qel::PortListCache* const cache = new qel::PortListCache(qel::ListSerialPorts, 2s);
  return *cache;
}

}  // namespace

void StartPortListing() { ProcessPortList(); }

std::string AvailablePortsJson(const std::vector<qel::SerialPortEntry>& ports) {
  std::string out = "[";
  for (const qel::SerialPortEntry& port : ports) {
    if (out.size() > 1) out += ',';
    out += "{\"name\":" + JsonString(port.name) +
           ",\"description\":" + JsonString(port.description) + "}";
  }
  return out + "]";
}

std::string AvailablePortsJson() {
  // The first listing started with the service; a request in its first moments waits for
  // the rest of it rather than answer no ports at all.
  const qel::PortListCache::Ports ports = ProcessPortList().LatestOrFirst(500ms);
  return ports ? AvailablePortsJson(*ports) : "[]";
}

}  // namespace qeld
