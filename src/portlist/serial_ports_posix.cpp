#include "serial_ports_posix.h"

#include <glob.h>
#include <linux/serial.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>

namespace qel {
namespace {

std::vector<std::string> Glob(const std::string& pattern) {
  std::vector<std::string> paths;
  glob_t found{};
  if (glob(pattern.c_str(), 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  // ttyS2 before ttyS10.
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return paths;
}

// The last component of the link at `path`; empty when it is no link.
std::string LinkTarget(const std::string& path) {
  char target[4096];
  const ssize_t n = readlink(path.c_str(), target, sizeof target);
  if (n <= 0) return {};
  const std::string text(target, static_cast<std::size_t>(n));
  return text.substr(text.rfind('/') + 1);
}

// Every /dev/ttyS node exists whether or not a UART answers there. The device is never
// opened to find out: an open raises DTR and RTS and the close drops them, which can reset
// what hangs on the port. sysfs alone decides:
// - the line's `type` is the UART the kernel found when it probed; 0 (PORT_UNKNOWN) is none;
// - a line without a readable `type` (a driver outside the serial core's attributes) has a
//   UART when a driver is bound to its device, unless that driver is serial8250, under which
//   the 8250 driver registers all its preallocated lines, empty ones too.
bool HasUart(const std::string& sys_line) {
  std::ifstream type_file(sys_line + "/type");
  int type = 0;
  if (type_file >> type) return type != PORT_UNKNOWN;
  const std::string driver = LinkTarget(sys_line + "/device/driver");
  return !driver.empty() && driver != "serial8250";
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPortsUnder(const std::string& dev,
                                                  const std::string& sys_tty) {
  std::vector<SerialPortEntry> ports;
  for (const std::string& path : Glob(dev + "/ttyS[0-9]*")) {
    if (HasUart(sys_tty + path.substr(path.rfind('/')))) ports.push_back({path, {}});
  }
  for (const char* pattern : {"/ttyUSB[0-9]*", "/ttyACM[0-9]*"}) {
    for (const std::string& path : Glob(dev + pattern)) ports.push_back({path, {}});
  }
  for (const std::string& path : Glob(dev + "/serial/by-id/*")) ports.push_back({path, {}});
  return ports;
}

std::vector<SerialPortEntry> ListSerialPorts() {
  return ListSerialPortsUnder("/dev", "/sys/class/tty");
}

}  // namespace qel
