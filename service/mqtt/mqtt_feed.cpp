// qel_mqtt_feed: the MQTT publisher of qelscaled without the rest of the service, for tests and
// the fleet benchmark. It takes the service's MQTT options and publishes what stdin says:
//
//   PORT<TAB>JSON   the port's new state (the JSON the service would send)
//   stats           prints "stats connected=0|1 connects=N published=N max_publish_us=N"
//
// End of input (or SIGTERM) stops it cleanly: "offline", then a clean disconnect.
#include <poll.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>
#include <string_view>

#include "mqtt_publisher.h"

namespace {

volatile sig_atomic_t stop_requested = 0;
void OnStop(int) { stop_requested = 1; }

const char kUsage[] =
    "usage: qel_mqtt_feed --mqtt URL [--mqtt-password-file FILE] [--mqtt-ca FILE] "
    "[--station NAME]\n"
    "stdin: PORT<TAB>JSON publishes the port's state; \"stats\" prints counters.\n";

// The command line into `options`; false on anything it does not take.
bool ParseArguments(int argc, char** argv, qeld::mqtt::Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (i + 1 >= argc) return false;
    const char* value = argv[++i];
    if (arg == "--mqtt") {
      options.url = value;
    } else if (arg == "--mqtt-password-file") {
      options.password_file = value;
    } else if (arg == "--mqtt-ca") {
      options.ca_file = value;
    } else if (arg == "--station") {
      options.station = value;
    } else {
      return false;
    }
  }
  return true;
}

// One line of stdin: a port's state to publish, or "stats".
void HandleLine(const std::string& line, qeld::mqtt::Publisher& publisher,
                std::int64_t& max_publish_us) {
  if (line == "stats") {
    const auto stats = publisher.GetStats();
    std::printf("stats connected=%d connects=%llu published=%llu max_publish_us=%lld\n",
                stats.connected ? 1 : 0, static_cast<unsigned long long>(stats.connects),
                static_cast<unsigned long long>(stats.published),
                static_cast<long long>(max_publish_us));
    std::fflush(stdout);
    return;
  }
  const std::size_t tab = line.find('\t');
  if (tab == std::string::npos) {
    std::fprintf(stderr, "qel_mqtt_feed: ignored line without a tab\n");
    return;
  }
  const auto start = std::chrono::steady_clock::now();
  publisher.Publish(line.substr(0, tab), line.substr(tab + 1));
  const auto took = std::chrono::duration_cast<std::chrono::microseconds>(
                        std::chrono::steady_clock::now() - start)
                        .count();
  if (took > max_publish_us) max_publish_us = took;
}

}  // namespace

int main(int argc, char** argv) {
  qeld::mqtt::Options options;
  if (!ParseArguments(argc, argv, options)) {
    std::fputs(kUsage, stderr);
    return 2;
  }
  std::string error;
  const std::optional<qeld::mqtt::Settings> settings = qeld::mqtt::Resolve(options, error);
  if (!settings) {
    std::fprintf(stderr, "qel_mqtt_feed: %s\n", error.c_str());
    return 2;
  }

  struct sigaction action {};
  action.sa_handler = OnStop;
  sigaction(SIGTERM, &action, nullptr);
  sigaction(SIGINT, &action, nullptr);

  qeld::mqtt::Publisher publisher(*settings, [](const std::string& line) {
    std::fprintf(stderr, "qel_mqtt_feed: %s\n", line.c_str());
  });
  std::int64_t max_publish_us = 0;
  std::string pending;
  char buffer[4096];
  while (!stop_requested) {
    pollfd fd{STDIN_FILENO, POLLIN, 0};
    if (poll(&fd, 1, 200) <= 0) continue;
    const ssize_t got = read(STDIN_FILENO, buffer, sizeof buffer);
    if (got <= 0) break;
    pending.append(buffer, static_cast<std::size_t>(got));
    std::size_t newline;
    while ((newline = pending.find('\n')) != std::string::npos) {
      HandleLine(pending.substr(0, newline), publisher, max_publish_us);
      pending.erase(0, newline + 1);
    }
  }
  return 0;
}
