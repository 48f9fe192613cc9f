// qelscale: the driver from the command line.
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <string_view>

#include "detection.h"
#include "named_port.h"
#include "on_demand.h"
#include "platform_services.h"
#include "qel_weigher/qel_weigher.h"
#include "reading_json.h"
#include "serial_ports.h"
#include "services.h"
#include "watch.h"

namespace {

const char kUsage[] =
    "usage: qelscale probe PORT\n"
    "       qelscale weigh [PORT] [--json] [--watch] [--count N]\n"
    "       qelscale ports\n"
    "       qelscale watch PORT [--json] [--stable-ms N] [--count N]\n"
    "       qelscale zero PORT\n"
    "       qelscale tare PORT\n"
    "\n"
    "  probe  chooses PORT and checks that a scale sends a weight there;\n"
    "         exit status 0 when it does, 1 otherwise; PORT?protocol=auto finds the\n"
    "         scale's protocol and line and prints them (\"protocol=ID 9600 7E1\")\n"
    "  weigh  prints the weight the scale on PORT (default COM1) shows (\"0\" when no\n"
    "         valid reading arrives), one cycle a reading with no probe before it;\n"
    "         exit status 0 when every reading printed is a weight, 1 otherwise\n"
    "         --json     one JSON object a reading: port, text, value (a number or\n"
    "                    null) and, without a reading, the error and the driver's message\n"
    "         --watch    repeat until interrupted\n"
    "         --count N  stop after N readings\n"
    "  ports  lists the serial devices present, one path a line (/dev/ttySn is COMn+1)\n"
    "  watch  holds PORT open and prints a line per change: the weight and \"stable\" or\n"
    "         \"settling\", or \"0\" and the error; --json prints the service's JSON\n"
    "\n"
    "  zero, tare  asks the scale on PORT to zero or tare and waits for its answer;\n"
    "         exit status 0 when it acknowledged, 1 when it refused or did not answer,\n"
    "         3 when its protocol has no such command\n"
    "\n"
    "PORT is COMn (/dev/ttySn-1) or a device path such as /dev/ttyUSB0, optionally with\n"
    "options: PORT?protocol=ID&baud=N&framing=7E1&poll_ms=N&stable_ms=N, where ID is one\n"
    "of qel (the default), toledo-8217, toledo-continuous, mt-sics, ad, cas, sma or auto.\n"
    "Without options every reading takes at least 600 ms. Driver messages go to stderr.\n";

volatile sig_atomic_t interrupted = 0;
void OnInterrupt(int) { interrupted = 1; }

// Owns one driver object for the whole run.
class Driver {
 public:
  Driver() : self_(Qelscale_Create()) {}
  ~Driver() { Qelscale_Release(self_); }
  Driver(const Driver&) = delete;
  Driver& operator=(const Driver&) = delete;
  Qelscale* get() const { return self_; }

 private:
  Qelscale* self_;
};

int Usage(int status) {
  std::fputs(kUsage, status == 0 ? stdout : stderr);
  return status;
}

// PORT as named, with its options; a bad option ends the program with its message.
std::optional<qel::NamedPort> NamedOrComplain(const char* port) {
  std::string error;
  std::optional<qel::NamedPort> named = qel::ParseNamedPort(port, error);
  if (!named) std::fprintf(stderr, "qelscale: %s: %s\n", port, error.c_str());
  return named;
}

// A port named with options: protocol=auto detects and tells what it found; a named protocol
// takes one reading in it.
int ProbeProtocol(const qel::NamedPort& named) {
  qel::Services& platform = qel::PlatformServices();
  if (named.detect) {
    const qel::DetectResult found = qel::DetectProtocol(platform.serial, named.name);
    if (!found.ok()) {
      std::printf("%s: %s\n", named.name.c_str(), found.message.c_str());
      return 1;
    }
    std::printf("%s: protocol=%s %s\n", named.name.c_str(), found.protocol->id.data(),
                qel::LineText(found.line).c_str());
    return 0;
  }
  qel::OnDemandReader reader(platform, platform.messages, named);
  std::promise<qel::Reading> answer;
  reader.Request([&answer](const qel::Reading& reading) { answer.set_value(reading); });
  const qel::Reading reading = answer.get_future().get();
  const std::string line = qel::LineText(named.Line());
  if (!reading.ok && reading.error != qel::ReadingError::kOverload &&
      reading.error != qel::ReadingError::kUnderZero &&
      reading.error != qel::ReadingError::kScaleBusy) {
    std::printf("%s: no %s frame at %s\n", named.name.c_str(), named.protocol->id.data(),
                line.c_str());
    return 1;
  }
  // The scale answered in its protocol, even if what it said is no weight.
  std::printf("%s: protocol=%s %s -> OK!\n", named.name.c_str(), named.protocol->id.data(),
              line.c_str());
  return 0;
}

int Probe(const char* port) {
  const std::optional<qel::NamedPort> named = NamedOrComplain(port);
  if (!named) return 2;
  if (named->has_options) return ProbeProtocol(*named);
  Driver driver;
  if (driver.get() == nullptr) return 1;
  if (Qelscale_OpenComPort_(driver.get(), port) != 0) {
    std::printf("%s -> OK!\n", port);
    return 0;
  }
  std::printf("%s: no weight received\n", port);
  return 1;
}

int Weigh(const char* port, bool json, bool watch, long count) {
  // Each reading is one cycle of the driver on PORT, with no probe before it; its messages
  // go to stderr as the library's do.
  const std::optional<qel::NamedPort> named = NamedOrComplain(port != nullptr ? port : "COM1");
  if (!named) return 2;
  qel::Services& platform = qel::PlatformServices();
  qel::OnDemandReader reader(platform, platform.messages, *named);
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
  long done = 0;
  bool all_weights = true;
  do {
    std::promise<qel::Reading> answer;
    reader.Request([&answer](const qel::Reading& reading) { answer.set_value(reading); });
    const qel::Reading reading = answer.get_future().get();
    const std::string line = json ? qeld::ReadingJson(reading) : reading.text;
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
    all_weights = all_weights && reading.ok;
    ++done;
  } while (!interrupted && (count > 0 ? done < count : watch));
  return all_weights ? 0 : 1;
}

int Command(const char* port, qel::ScaleCommand command) {
  const std::optional<qel::NamedPort> named = NamedOrComplain(port);
  if (!named) return 2;
  qel::Services& platform = qel::PlatformServices();
  qel::OnDemandReader reader(platform, platform.messages, *named);
  std::promise<qel::CommandResult> answer;
  reader.Command(command, [&answer](qel::CommandResult result) { answer.set_value(result); });
  const qel::CommandResult result = answer.get_future().get();
  std::printf("%s %s: %s\n", named->name.c_str(), qel::ScaleCommandName(command).data(),
              qel::CommandResultName(result).data());
  if (result == qel::CommandResult::kNotSupported) return 3;
  return result == qel::CommandResult::kAcknowledged ? 0 : 1;
}

int Ports() {
  // One port a line, its name first, so scripts can hand each line's first word to
  // "qelscale probe"; the system's name for the device after it where there is one.
  for (const qel::SerialPortEntry& port : qel::ListSerialPorts()) {
    if (port.description.empty()) {
      std::printf("%s\n", port.name.c_str());
    } else {
      std::printf("%s (%s)\n", port.name.c_str(), port.description.c_str());
    }
  }
  return 0;
}

bool ParseCount(const char* text, long& count) {
  char* end = nullptr;
  count = std::strtol(text, &end, 10);
  return *text != '\0' && *end == '\0' && count > 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return Usage(2);
  const std::string_view command = argv[1];
  if (command == "--help" || command == "-h" || command == "help") return Usage(0);

  if (command == "probe") {
    if (argc != 3) return Usage(2);
    return Probe(argv[2]);
  }
  if (command == "watch") {
    const int status = qelcli::Watch(argc - 2, argv + 2);
    return status == 2 ? Usage(2) : status;
  }
  if (command == "zero" || command == "tare") {
    if (argc != 3) return Usage(2);
    return Command(argv[2],
                   command == "zero" ? qel::ScaleCommand::kZero : qel::ScaleCommand::kTare);
  }
  if (command == "ports") {
    if (argc != 2) return Usage(2);
    return Ports();
  }
  if (command == "weigh") {
    const char* port = nullptr;
    bool json = false;
    bool watch = false;
    long count = 0;
    for (int i = 2; i < argc; ++i) {
      const std::string_view arg = argv[i];
      if (arg == "--json") {
        json = true;
      } else if (arg == "--watch") {
        watch = true;
      } else if (arg == "--count" && i + 1 < argc) {
        if (!ParseCount(argv[++i], count)) return Usage(2);
      } else if (arg == "--help" || arg == "-h") {
        return Usage(0);
      } else if (!arg.empty() && arg[0] != '-' && port == nullptr) {
        port = argv[i];
      } else {
        return Usage(2);
      }
    }
    return Weigh(port, json, watch, count);
  }
  return Usage(2);
}
