#include "options.h"

#include <cerrno>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <type_traits>
#include <utility>

#include "secret_file.h"

namespace qeld {
namespace {

std::optional<std::uint64_t> ParseNumber(std::string_view text, std::uint64_t min,
                                         std::uint64_t max) {
  if (text.empty() || text.front() == '-') return std::nullopt;
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const unsigned long long number = std::strtoull(copy.c_str(), &end, 10);
  if (*end != '\0' || errno != 0 || number < min || number > max) return std::nullopt;
  return number;
}

std::uint64_t Count(std::size_t value) { return value; }
std::uint64_t Count(std::chrono::milliseconds value) {
  return static_cast<std::uint64_t>(value.count());
}

template <auto... Path>
Verdict SetNumber(const Option& row, std::string_view value, Options& options) {
  const std::optional<std::uint64_t> number = ParseNumber(value, row.min, row.max);
  if (!number) return Verdict::kBadValue;
  auto& field = At<Path...>(options);
  field = static_cast<std::remove_reference_t<decltype(field)>>(*number);
  return Verdict::kTaken;
}

template <auto... Path>
std::string ShowNumber(const Options& defaults) {
  return std::to_string(Count(At<Path...>(defaults)));
}

template <PortMode mode>
Verdict AddPort(const Option&, std::string_view value, Options& options) {
  if (value.empty()) return Verdict::kBadValue;
  if (!options.config.policy.ports.emplace(value, mode).second) return Verdict::kRepeated;
  return Verdict::kTaken;
}

// HOST:PORT, HOST may be "[v6 address]"; "localhost" means both 127.0.0.1 and [::1].
Verdict SetListen(const Option&, std::string_view value, Options& options) {
  const std::size_t colon = value.rfind(':');
  if (colon == std::string_view::npos || colon == 0) return Verdict::kBadValue;
  std::string host(value.substr(0, colon));
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  const std::optional<std::uint64_t> port = ParseNumber(value.substr(colon + 1), 0, 65535);
  if (!port) return Verdict::kBadValue;
  options.config.both_loopbacks = host == "localhost";
  options.config.listen_host = options.config.both_loopbacks ? "127.0.0.1" : host;
  options.config.listen_port = static_cast<std::uint16_t>(*port);
  return Verdict::kTaken;
}

std::string ShowListen(const Options& defaults) {
  const std::string& host =
      defaults.config.both_loopbacks ? std::string("localhost") : defaults.config.listen_host;
  const bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(defaults.config.listen_port);
}

Verdict AskHelp(const Option&, std::string_view, Options&) { return Verdict::kHelp; }

template <auto Field>
constexpr Option Limit(std::string_view name, std::string_view argument, std::uint64_t min,
                       std::uint64_t max, std::string_view help) {
  return {name,
          argument,
          help,
          &SetNumber<&Options::config, &Config::limits, Field>,
          &ShowNumber<&Options::config, &Config::limits, Field>,
          min,
          max};
}

const Option kCommonRows[] = {
    {"--port", "NAME", "serve NAME on demand: each reading is one driver cycle",
     &AddPort<PortMode::kOnDemand>},
    {"--stream", "NAME",
     "hold NAME open and serve every frame as it arrives. NAME is COMn or a device path; at "
     "least one port is needed",
     &AddPort<PortMode::kStream>},
    {"--listen", "HOST:PORT",
     "the address to serve on; localhost: 127.0.0.1 and [::1], both must be free; PORT 0 "
     "picks one",
     &SetListen, &ShowListen},
    {"--stable-ms", "N", "stable after N ms of frames with one value",
     &SetNumber<&Options::config, &Config::stable_for>,
     &ShowNumber<&Options::config, &Config::stable_for>, 0, 600000},
    {"--token-file", "PATH",
     "require the token in PATH on every request; needed to listen anywhere but loopback. "
     "A token is 16-256 of A-Z a-z 0-9 - . _ ~",
     &SetText<&Options::token_file>},
    {"--allow-host", "NAME", "accept Host: NAME besides the loopback names (repeatable)",
     &AddText<&Options::config, &Config::policy, &Policy::allowed_hosts>},
    {"--allow-origin", "URL",
     "serve browser pages from this origin, e.g. http://pos.local:8080 (repeatable); the "
     "service's own page is always allowed",
     &AddText<&Options::config, &Config::policy, &Policy::allowed_origins>},
    Limit<&Limits::max_connections>("--max-connections", "N", 1, 100000,
                                    "most connections open at once"),
    Limit<&Limits::max_stable_waiters>("--max-stable-waiters", "N", 1, 100000,
                                       "most stable=1 requests waiting at once on one port; "
                                       "more are answered 503"),
    Limit<&Limits::header_bytes>("--header-limit", "BYTES", 512, 1 << 20,
                                 "largest request line and headers together"),
    Limit<&Limits::header_timeout>("--header-timeout-ms", "N", 100, 600000,
                                   "a request must arrive within N ms"),
    Limit<&Limits::idle_timeout>("--idle-timeout-ms", "N", 100, 3600000,
                                 "a kept-alive connection may idle N ms"),
    Limit<&Limits::ws_message_bytes>("--ws-message-limit", "BYTES", 16, 1 << 20,
                                     "largest message a WebSocket client may send"),
    Limit<&Limits::ws_queue>("--ws-queue", "N", 1, 100000,
                             "messages queued for a slow WebSocket client before it is dropped"),
    Limit<&Limits::ws_socket_buffer>("--ws-send-buffer", "BYTES", 1024, 16 << 20,
                                     "kernel send buffer of a WebSocket connection"),
    Limit<&Limits::ws_idle>("--ws-idle-ms", "N", 200, 3600000,
                            "ping a quiet WebSocket client after N/2 ms, drop it when nothing "
                            "came back after N ms"),
    {"--tls-cert", "PATH",
     "serve HTTPS and wss:// only, with this PEM certificate chain (the server's first); "
     "needs --tls-key. For browsers that keep an https page from plain http on loopback",
     &SetText<&Options::tls, &tls::Files::cert>},
    {"--tls-key", "PATH", "the PEM private key of --tls-cert",
     &SetText<&Options::tls, &tls::Files::key>},
    {"--help", "", "print this text and exit", &AskHelp, nullptr, 0, 0, "-h"},
};

const Option* Find(std::string_view arg) {
  for (const Option& row : OptionTable()) {
    if (arg == row.name || (!row.alias.empty() && arg == row.alias)) return &row;
  }
  return nullptr;
}

std::string Expected(const Option& row) {
  if (row.max == 0) return std::string(row.argument);
  return "a number from " + std::to_string(row.min) + " to " + std::to_string(row.max);
}

// A refusal that only a look at the options explains: the reason, then the usage.
Command Refused(const std::string& reason) {
  return {Options{}, 2, "qelscaled: " + reason + "\n" + UsageText()};
}

// A refusal that stands on its own.
Command Stopped(const std::string& reason) { return {Options{}, 2, "qelscaled: " + reason + "\n"}; }

// Trailing line ends and blanks are not part of the token.
std::optional<std::string> ReadToken(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream content;
  content << in.rdbuf();
  std::string token = content.str();
  while (!token.empty() && (token.back() == '\n' || token.back() == '\r' || token.back() == ' ')) {
    token.pop_back();
  }
  if (!in || !ValidToken(token)) return std::nullopt;
  return token;
}

// A name as a message may show it: bytes that are not printable ASCII as \xNN.
std::string Printable(std::string_view text) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte >= 0x20 && byte < 0x7F) {
      out += c;
    } else {
      out += {'\\', 'x', kHex[byte >> 4], kHex[byte & 0xF]};
    }
  }
  return out;
}

// The checks that need every option read.
Command Finish(Command command) {
  Options& options = command.options;
  Config& config = options.config;
  if (config.policy.ports.empty()) return Refused("give at least one --port or --stream");
  // The ports were taken as named; requests, topics and the JSON know them without options.
  std::map<std::string, PortMode> modes;
  for (const auto& [text, mode] : config.policy.ports) {
    if (!ValidUtf8(text)) return Stopped("port name " + Printable(text) + " is not valid UTF-8");
    std::string error;
    std::optional<qel::NamedPort> named = qel::ParseNamedPort(text, error);
    if (!named) return Stopped(Printable(text) + ": " + error);
    if (!modes.emplace(named->name, mode).second) {
      return Stopped("port " + Printable(named->name) + " given twice");
    }
    config.named_ports.emplace(named->name, std::move(*named));
  }
  config.policy.ports = std::move(modes);
  if (!options.token_file.empty()) {
    if (const std::optional<std::string> exposed = SecretFileExposed(options.token_file)) {
      return Stopped("--token-file: " + options.token_file + " is " + *exposed);
    }
    std::optional<std::string> token = ReadToken(options.token_file);
    if (!token) {
      return Stopped(options.token_file +
                     " must hold a token of 16-256 characters A-Z a-z 0-9 - . _ ~");
    }
    config.policy.token = std::move(token);
  }
  if (!IsLoopbackAddress(config.listen_host) && !config.policy.token) {
    return Stopped("listening on " + config.listen_host + ", beyond loopback, needs --token-file");
  }
  if (!options.tls.key.empty()) {
    if (const std::optional<std::string> exposed = SecretFileExposed(options.tls.key)) {
      return Stopped("--tls-key: " + options.tls.key + " is " + *exposed);
    }
  }
  tls::Loaded tls = tls::Load(options.tls);
  if (!tls.error.empty()) return Stopped(tls.error);
  config.tls = std::move(tls.context);
  config.tls_files = options.tls;
  config.policy.https = config.tls != nullptr;
  if (const auto check = PlatformOptionRows().check) {
    if (const std::optional<std::string> reason = check(options)) return Stopped(*reason);
  }
  return command;
}

}  // namespace

const std::vector<Option>& OptionTable() {
  static const std::vector<Option> table = [] {
    std::vector<Option> rows(std::begin(kCommonRows), std::end(kCommonRows));
    const std::vector<Option>& platform = PlatformOptionRows().rows;
    rows.insert(rows.end() - 1, platform.begin(), platform.end());  // --help stays last
    return rows;
  }();
  return table;
}

Command ParseCommandLine(int argc, const char* const* argv) {
  Command command;
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const Option* row = Find(arg);
    if (row == nullptr) return Refused("unknown option " + std::string(arg));
    std::string_view value;
    if (!row->argument.empty()) {
      if (i + 1 == argc) return Refused(std::string(arg) + " needs " + std::string(row->argument));
      value = argv[++i];
    }
    switch (row->set(*row, value, command.options)) {
      case Verdict::kTaken:
        break;
      case Verdict::kHelp:
        return {Options{}, 0, UsageText()};
      case Verdict::kBadValue:
        return Refused(std::string(row->name) + " takes " + Expected(*row));
      case Verdict::kRepeated:  // only ports refuse a second mention
        return Stopped("port " + std::string(value) + " given twice");
    }
  }
  return Finish(std::move(command));
}

}  // namespace qeld
