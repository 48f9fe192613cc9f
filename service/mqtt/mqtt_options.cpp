#include "mqtt_options.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "routing.h"
#include "secret_file.h"

namespace qeld::mqtt {
namespace {

bool Unreserved(unsigned char c) {
  return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' ||
         c == '.' || c == '_' || c == '~';
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

bool ParsePort(std::string_view text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

// "mqtt://HOST[:PORT][/]" or "mqtts://..."; HOST may be "[v6 address]".
// "HOST", "HOST:PORT", "[V6]" or "[V6]:PORT" into host and port text (port empty when not
// given); false with `error` set on anything else.
bool SplitAuthority(std::string_view rest, std::string_view& host, std::string_view& port,
                    std::string& error) {
  host = rest;
  std::string_view after;
  if (!rest.empty() && rest.front() == '[') {
    const std::size_t close = rest.find(']');
    if (close == std::string_view::npos) {
      error = "--mqtt: unterminated [IPv6 address]";
      return false;
    }
    host = rest.substr(1, close - 1);
    after = rest.substr(close + 1);
    if (!after.empty() && after.front() != ':') {
      error = "--mqtt: unexpected text after the [IPv6 address]";
      return false;
    }
  } else if (const std::size_t colon = rest.find(':'); colon != std::string_view::npos) {
    host = rest.substr(0, colon);
    after = rest.substr(colon);
  }
  if (!after.empty()) {
    port = after.substr(1);
    if (port.empty()) {
      error = "--mqtt: empty port";
      return false;
    }
  }
  if (host.empty()) {
    error = "--mqtt: the URL names no host";
    return false;
  }
  return true;
}

bool ParseUrl(std::string_view url, Settings& settings, std::string& error) {
  std::string_view rest;
  if (url.rfind("mqtt://", 0) == 0) {
    rest = url.substr(7);
    settings.tls = false;
    settings.port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    rest = url.substr(8);
    settings.tls = true;
    settings.port = 8883;
  } else {
    error = "--mqtt: the URL must start with mqtt:// or mqtts://";
    return false;
  }
  if (!rest.empty() && rest.back() == '/') rest.remove_suffix(1);
  if (rest.find('@') != std::string_view::npos) {
    error =
        "--mqtt: credentials do not belong in the URL; put USER:PASSWORD in --mqtt-password-file";
    return false;
  }
  if (rest.find_first_of("/?#") != std::string_view::npos) {
    error = "--mqtt: the URL takes a host and a port only";
    return false;
  }
  std::string_view host;
  std::string_view port;
  if (!SplitAuthority(rest, host, port, error)) return false;
  if (!port.empty() && !ParsePort(port, settings.port)) {
    error = "--mqtt: the port must be a number from 1 to 65535";
    return false;
  }
  settings.host = std::string(host);
  return true;
}

bool ReadPasswordFile(const std::string& path, Settings& settings, std::string& error) {
  if (const std::optional<std::string> exposed = SecretFileExposed(path)) {
    error = "--mqtt-password-file: " + path + " is " + *exposed;
    return false;
  }
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "--mqtt-password-file: cannot read " + path + ": " + std::strerror(errno);
    return false;
  }
  std::string line;
  std::getline(file, line);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  const std::size_t colon = line.find(':');
  if (colon == std::string::npos || colon == 0) {
    error = "--mqtt-password-file: " + path + " must hold one line USER:PASSWORD";
    return false;
  }
  settings.username = line.substr(0, colon);
  settings.password = line.substr(colon + 1);
  return true;
}

std::string HostName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0 || name[0] == '\0') return "localhost";
  return name;
}

}  // namespace

std::optional<Settings> Resolve(const Options& options, std::string& error) {
  Settings settings;
  settings.url = options.url;
  if (!ParseUrl(options.url, settings, error)) return std::nullopt;
  if (!options.password_file.empty() && !ReadPasswordFile(options.password_file, settings, error))
    return std::nullopt;
  // Anyone on the way between here and the broker would read the password.
  if (settings.password && !settings.tls && !options.insecure &&
      !IsLoopbackAddress(settings.host)) {
    error = "--mqtt-password-file: mqtt:// would send the password to " + settings.host +
            " in clear text; use mqtts://, or --mqtt-insecure on a network you trust";
    return std::nullopt;
  }
  if (!options.ca_file.empty()) {
    if (!settings.tls) {
      error = "--mqtt-ca needs an mqtts:// URL";
      return std::nullopt;
    }
    if (access(options.ca_file.c_str(), R_OK) != 0) {
      error = "--mqtt-ca: cannot read " + options.ca_file + ": " + std::strerror(errno);
      return std::nullopt;
    }
    settings.ca_file = options.ca_file;
  }
  settings.station = options.station.empty() ? HostName() : options.station;
  return settings;
}

std::string EscapeTopicLevel(std::string_view name) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string level;
  level.reserve(name.size());
  for (char c : name) {
    const auto byte = static_cast<unsigned char>(c);
    if (Unreserved(byte)) {
      level += c;
    } else {
      level += '%';
      level += kHex[byte >> 4];
      level += kHex[byte & 0xF];
    }
  }
  return level;
}

std::optional<std::string> UnescapeTopicLevel(std::string_view level) {
  std::string name;
  name.reserve(level.size());
  for (std::size_t i = 0; i < level.size(); ++i) {
    if (level[i] != '%') {
      name += level[i];
      continue;
    }
    if (i + 2 >= level.size()) return std::nullopt;
    const int high = HexDigit(level[i + 1]);
    const int low = HexDigit(level[i + 2]);
    if (high < 0 || low < 0) return std::nullopt;
    name += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return name;
}

std::string WeightTopic(std::string_view station, std::string_view port) {
  return "qel/" + EscapeTopicLevel(station) + "/" + EscapeTopicLevel(port) + "/weight";
}

std::string StatusTopic(std::string_view station) {
  return "qel/" + EscapeTopicLevel(station) + "/status";
}

}  // namespace qeld::mqtt
