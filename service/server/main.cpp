// qelscaled: the weight service. Serves the ports it is given over HTTP and WebSocket.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <string_view>

#include "log_sink.h"
#ifdef QELD_WITH_MQTT
#include "mqtt_publisher.h"
#endif
#include "platform_services.h"
#include "routing.h"
#include "server.h"
#include "services.h"

#ifndef _WIN32
#include <sys/resource.h>
#endif

namespace {

const char kUsage[] =
    "usage: qelscaled [--port NAME]... [--stream NAME]... [options]\n"
    "\n"
    "  --port NAME          serve NAME on demand: each reading is one driver cycle\n"
    "  --stream NAME        hold NAME open and serve every frame as it arrives\n"
    "                       NAME is COMn or a device path; at least one port is needed\n"
    "  --listen HOST:PORT   default 127.0.0.1:8778; [::1]:PORT for IPv6; PORT 0 picks one\n"
    "  --stable-ms N        stable after N ms of frames with one value (default 500)\n"
    "  --token-file PATH    require the token in PATH on every request (needed to listen\n"
    "                       anywhere but loopback); 16-256 of A-Z a-z 0-9 - . _ ~\n"
    "  --allow-host NAME    accept Host: NAME besides the loopback names (repeatable)\n"
    "  --allow-origin URL   serve browser pages from this origin, e.g. http://pos.local:8080\n"
    "                       (repeatable); the service's own page is always allowed\n"
    "  --max-connections N  default 1500\n"
    "  --header-limit BYTES default 8192\n"
    "  --header-timeout-ms N  a request must arrive within N ms (default 10000)\n"
    "  --idle-timeout-ms N    a kept-alive connection may idle N ms (default 30000)\n"
    "  --ws-message-limit BYTES  largest message a WebSocket client may send (default 1024)\n"
    "  --ws-queue N           messages queued for a slow WebSocket client before it is\n"
    "                         dropped (default 64)\n"
    "  --ws-send-buffer BYTES  kernel send buffer of a WebSocket connection (default 65536)\n"
    "  --ws-idle-ms N        ping a quiet WebSocket client after N/2 ms, drop it when nothing\n"
    "                       came back after N ms (default 20000)\n"
    "  --mqtt URL           also publish each port's state to an MQTT broker (a stream\n"
    "                       port's every change, an on-demand port's when a cycle\n"
    "                       changes it): mqtt://HOST[:PORT] (1883) or\n"
    "                       mqtts://HOST[:PORT] (8883, TLS)\n"
    "                       topics qel/STATION/PORT/weight and qel/STATION/status\n"
    "  --mqtt-password-file PATH  one line USER:PASSWORD for the broker\n"
    "  --mqtt-ca PATH       CA certificates (PEM) for mqtts://; default the system's\n"
    "  --station NAME       this station's name in the topics (default the host name)\n"
    "\n"
    "API: GET /v1/weight?port=NAME[&stable=1&timeout_ms=N], GET /v1/ports, GET /metrics,\n"
    "WebSocket /v1/stream?port=NAME, the page at /. Driver messages go to stderr.\n";

int Usage(int status) {
  std::fputs(kUsage, status == 0 ? stdout : stderr);
  return status;
}

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& out) {
  if (text == nullptr || *text == '\0') return false;
  char* end = nullptr;
  errno = 0;
  out = std::strtoull(text, &end, 10);
  return *end == '\0' && errno == 0 && out <= max && text[0] != '-';
}

bool ParseListen(std::string_view text, qeld::Config& config) {
  const std::size_t colon = text.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return false;
  std::string host(text.substr(0, colon));
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  unsigned long long port = 0;
  const std::string port_text(text.substr(colon + 1));
  if (!ParseNumber(port_text.c_str(), 65535, port)) return false;
  config.listen_host = host == "localhost" ? "127.0.0.1" : host;
  config.listen_port = static_cast<std::uint16_t>(port);
  return true;
}

#ifndef _WIN32
// Every client is a descriptor: take what the hard limit allows.
void RaiseDescriptorLimit() {
  rlimit limit{};
  if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
    limit.rlim_cur = limit.rlim_max;
    setrlimit(RLIMIT_NOFILE, &limit);
  }
}
#endif

}  // namespace

int main(int argc, char** argv) {
  qeld::Config config;
  std::string token_file;
#ifdef QELD_WITH_MQTT
  qeld::mqtt::Options mqtt;
#endif
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
    unsigned long long number = 0;
    const auto number_arg = [&](unsigned long long min, unsigned long long max) {
      if (!ParseNumber(value, max, number) || number < min) return false;
      ++i;
      return true;
    };
    if (arg == "--help" || arg == "-h") return Usage(0);
    if ((arg == "--port" || arg == "--stream") && value != nullptr && *value != '\0') {
      const qeld::PortMode mode =
          arg == "--stream" ? qeld::PortMode::kStream : qeld::PortMode::kOnDemand;
      if (!config.policy.ports.emplace(value, mode).second) {
        std::fprintf(stderr, "qelscaled: port %s given twice\n", value);
        return 2;
      }
      ++i;
    } else if (arg == "--listen" && value != nullptr) {
      if (!ParseListen(value, config)) return Usage(2);
      ++i;
    } else if (arg == "--stable-ms" && number_arg(0, 600000)) {
      config.stable_for = std::chrono::milliseconds(number);
    } else if (arg == "--token-file" && value != nullptr) {
      token_file = value;
      ++i;
    } else if (arg == "--allow-host" && value != nullptr) {
      config.policy.allowed_hosts.emplace_back(value);
      ++i;
    } else if (arg == "--allow-origin" && value != nullptr) {
      config.policy.allowed_origins.emplace_back(value);
      ++i;
    } else if (arg == "--max-connections" && number_arg(1, 100000)) {
      config.limits.max_connections = static_cast<std::size_t>(number);
    } else if (arg == "--header-limit" && number_arg(512, 1 << 20)) {
      config.limits.header_bytes = static_cast<std::size_t>(number);
    } else if (arg == "--header-timeout-ms" && number_arg(100, 600000)) {
      config.limits.header_timeout = std::chrono::milliseconds(number);
    } else if (arg == "--idle-timeout-ms" && number_arg(100, 3600000)) {
      config.limits.idle_timeout = std::chrono::milliseconds(number);
    } else if (arg == "--ws-message-limit" && number_arg(16, 1 << 20)) {
      config.limits.ws_message_bytes = static_cast<std::size_t>(number);
    } else if (arg == "--ws-queue" && number_arg(1, 100000)) {
      config.limits.ws_queue = static_cast<std::size_t>(number);
    } else if (arg == "--ws-idle-ms" && number_arg(200, 3600000)) {
      config.limits.ws_idle = std::chrono::milliseconds(number);
    } else if (arg == "--ws-send-buffer" && number_arg(1024, 16 << 20)) {
      config.limits.ws_socket_buffer = static_cast<std::size_t>(number);
#ifdef QELD_WITH_MQTT
    } else if (arg == "--mqtt" && value != nullptr) {
      mqtt.url = argv[++i];
    } else if (arg == "--mqtt-password-file" && value != nullptr) {
      mqtt.password_file = argv[++i];
    } else if (arg == "--mqtt-ca" && value != nullptr) {
      mqtt.ca_file = argv[++i];
    } else if (arg == "--station" && value != nullptr) {
      mqtt.station = argv[++i];
#endif
    } else {
      return Usage(2);
    }
  }
  if (config.policy.ports.empty()) {
    std::fputs("qelscaled: give at least one --port or --stream\n", stderr);
    return Usage(2);
  }
  if (!token_file.empty()) {
    std::ifstream in(token_file, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    std::string token = content.str();
    while (!token.empty() &&
           (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) {
      token.pop_back();
    }
    if (!in || !qeld::ValidToken(token)) {
      std::fprintf(stderr,
                   "qelscaled: %s must hold a token of 16-256 characters A-Z a-z 0-9 - . _ ~\n",
                   token_file.c_str());
      return 2;
    }
    config.policy.token = token;
  }
  if (!qeld::IsLoopbackAddress(config.listen_host) && !config.policy.token) {
    std::fprintf(stderr, "qelscaled: listening on %s, beyond loopback, needs --token-file\n",
                 config.listen_host.c_str());
    return 2;
  }
#ifndef _WIN32
  RaiseDescriptorLimit();
#endif
  qeld::QueueLog log;
#ifdef QELD_WITH_MQTT
  // Declared after the log, so it stops (saying "offline") before the log does.
  std::unique_ptr<qeld::mqtt::Publisher> publisher;
  if (!mqtt.url.empty()) {
    std::string error;
    const std::optional<qeld::mqtt::Settings> settings = qeld::mqtt::Resolve(mqtt, error);
    if (!settings) {
      std::fprintf(stderr, "qelscaled: %s\n", error.c_str());
      return 2;
    }
    publisher = std::make_unique<qeld::mqtt::Publisher>(
        *settings, [&log](const std::string& line) { log.Line(line); });
    config.on_change = [&publisher](const std::string& port, const std::string& json) {
      publisher->Publish(port, json);
    };
    config.more_metrics = [&publisher] { return publisher->Metrics(); };
  } else if (!mqtt.password_file.empty() || !mqtt.ca_file.empty() || !mqtt.station.empty()) {
    std::fputs("qelscaled: --mqtt-password-file, --mqtt-ca and --station need --mqtt\n", stderr);
    return 2;
  }
#endif
  return qeld::Serve(config, qel::PlatformServices(), log);
}
