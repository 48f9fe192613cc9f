// The MQTT rows of the option table: only the builds that publish to MQTT compile this file.
#include "options.h"

namespace qeld {
namespace {

std::optional<std::string> NeedsUrl(const Options& options) {
  const mqtt::Options& mqtt = options.mqtt;
  if (mqtt.url.empty() && (!mqtt.password_file.empty() || !mqtt.ca_file.empty() ||
                           !mqtt.station.empty() || mqtt.insecure)) {
    return "--mqtt-password-file, --mqtt-ca, --mqtt-insecure and --station need --mqtt";
  }
  return std::nullopt;
}

}  // namespace

const PlatformOptions& PlatformOptionRows() {
  static const PlatformOptions options{
      {
          {"--mqtt", "URL",
           "also publish each port's state to an MQTT broker (a stream port's every change, an "
           "on-demand port's when a cycle changes it): mqtt://HOST[:PORT] (1883) or "
           "mqtts://HOST[:PORT] (8883, TLS); topics qel/STATION/PORT/weight and "
           "qel/STATION/status",
           &SetText<&Options::mqtt, &mqtt::Options::url>},
          {"--mqtt-password-file", "PATH", "one line USER:PASSWORD for the broker",
           &SetText<&Options::mqtt, &mqtt::Options::password_file>},
          {"--mqtt-insecure", "",
           "allow --mqtt-password-file with mqtt:// to a broker beyond loopback, which sends the "
           "password in clear text",
           &SetTrue<&Options::mqtt, &mqtt::Options::insecure>},
          {"--mqtt-ca", "PATH", "CA certificates (PEM) for mqtts://; default the system's",
           &SetText<&Options::mqtt, &mqtt::Options::ca_file>},
          {"--station", "NAME", "this station's name in the topics (default the host name)",
           &SetText<&Options::mqtt, &mqtt::Options::station>},
      },
      &NeedsUrl};
  return options;
}

}  // namespace qeld
