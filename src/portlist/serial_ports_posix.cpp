#include <fcntl.h>
#include <glob.h>
#include <linux/serial.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <optional>

#include "serial_ports.h"

namespace qel {
namespace {

std::vector<std::string> Glob(const char* pattern) {
  std::vector<std::string> paths;
  glob_t found{};
  if (glob(pattern, 0, nullptr, &found) == 0) {
    for (std::size_t i = 0; i < found.gl_pathc; ++i) paths.emplace_back(found.gl_pathv[i]);
  }
  globfree(&found);
  // ttyS2 before ttyS10.
  std::sort(paths.begin(), paths.end(), [](const std::string& a, const std::string& b) {
    return a.size() != b.size() ? a.size() < b.size() : a < b;
  });
  return paths;
}

// Every /dev/ttyS node exists whether or not a UART answers there; the driver reports
// PORT_UNKNOWN for the empty ones. sysfs tells without opening the device: an open raises
// DTR and RTS and the close drops them, which can reset what hangs on a port, and the
// service lists the ports on every /v1/ports. Only where sysfs does not say is it opened.
std::optional<bool> UartFromSysfs(const std::string& path) {
  const std::string name = path.substr(path.rfind('/') + 1);
  std::ifstream type_file("/sys/class/tty/" + name + "/type");
  int type = 0;
  if (!(type_file >> type)) return std::nullopt;
  return type != PORT_UNKNOWN;
}

bool HasUart(const std::string& path) {
  if (const std::optional<bool> known = UartFromSysfs(path)) return *known;
  const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return false;
  serial_struct info{};
  const bool present = ioctl(fd, TIOCGSERIAL, &info) == 0 && info.type != PORT_UNKNOWN;
  close(fd);
  return present;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts() {
  std::vector<SerialPortEntry> ports;
  for (const std::string& path : Glob("/dev/ttyS[0-9]*")) {
    if (HasUart(path)) ports.push_back({path, {}});
  }
  for (const char* pattern : {"/dev/ttyUSB[0-9]*", "/dev/ttyACM[0-9]*"}) {
    for (const std::string& path : Glob(pattern)) ports.push_back({path, {}});
  }
  for (const std::string& path : Glob("/dev/serial/by-id/*")) ports.push_back({path, {}});
  return ports;
}

}  // namespace qel
