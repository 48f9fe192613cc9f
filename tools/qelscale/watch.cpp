#include "watch.h"

#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "named_port.h"
#include "platform_services.h"
#include "reading_json.h"
#include "services.h"
#include "weight_stream.h"

namespace qelcli {
namespace {

volatile sig_atomic_t stop_requested = 0;
void OnStop(int) { stop_requested = 1; }

std::string Line(const qel::Reading& reading, bool json) {
  if (json) return qeld::ReadingJson(reading);
  if (reading.ok) {
    const std::string unit = reading.unit.empty() ? "" : " " + reading.unit;
    return reading.text + unit + (reading.stable.value_or(false) ? " stable" : " settling");
  }
  std::string line = "0 " + std::string(qel::ReadingErrorName(reading.error));
  return line;
}

}  // namespace

int Watch(int argc, char** argv) {
  const char* port = nullptr;
  bool json = false;
  long count = 0;
  long stable_ms = 500;
  for (int i = 0; i < argc; ++i) {
    const std::string_view arg = argv[i];
    char* end = nullptr;
    if (arg == "--json") {
      json = true;
    } else if ((arg == "--count" || arg == "--stable-ms") && i + 1 < argc) {
      const long value = std::strtol(argv[++i], &end, 10);
      if (*argv[i] == '\0' || *end != '\0' || value < (arg == "--count" ? 1 : 0)) return 2;
      (arg == "--count" ? count : stable_ms) = value;
    } else if (!arg.empty() && arg[0] != '-' && port == nullptr) {
      port = argv[i];
    } else {
      return 2;
    }
  }
  if (port == nullptr) return 2;
  std::string error;
  std::optional<qel::NamedPort> named = qel::ParseNamedPort(port, error);
  if (!named) {
    std::fprintf(stderr, "qelscale: %s: %s\n", port, error.c_str());
    return 2;
  }

  qel::StreamOptions options;
  options.stable_for = std::chrono::milliseconds(stable_ms);
  long printed = 0;
  std::atomic<bool> enough{false};
  qel::StreamEngine engine(qel::PlatformServices(), std::move(*named), options,
                           [&](const qel::Reading& reading, bool changed) {
                             if (!changed || enough) return;
                             const std::string line = Line(reading, json) + "\n";
                             std::fwrite(line.data(), 1, line.size(), stdout);
                             std::fflush(stdout);
                             if (count > 0 && ++printed >= count) enough = true;
                           });
  struct sigaction action {};
  action.sa_handler = OnStop;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  std::thread worker([&engine] { engine.Run(); });
  while (!stop_requested && !enough) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  engine.Stop();
  worker.join();
  return 0;
}

}  // namespace qelcli
