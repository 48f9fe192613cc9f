// qelscaled's options, from one table. Each row names an option and its argument, says what it
// does, and how its value is read and where it lands; the table drives the parsing, --help, and
// the option lists of the packaged configuration file and man page, so they cannot drift apart.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "mqtt_options.h"
#include "server.h"

namespace qeld {

// Everything the command line sets.
struct Options {
  Config config;
  std::string token_file;  // read into config.policy.token once parsing is done
  mqtt::Options mqtt;      // set only by the builds that publish to MQTT
  tls::Files tls;          // loaded into config.tls once parsing is done
};

// A setter's verdict on one value.
enum class Verdict { kTaken, kBadValue, kRepeated, kHelp };

struct Option;
using Setter = Verdict (*)(const Option& row, std::string_view value, Options& options);
// The value a default-constructed Options holds, as the help shows it; nullptr: none shown.
using Shower = std::string (*)(const Options& defaults);

struct Option {
  constexpr Option(std::string_view option, std::string_view value_name, std::string_view text,
                   Setter setter, Shower shower = nullptr, std::uint64_t low = 0,
                   std::uint64_t high = 0, std::string_view spelling = {})
      : name(option),
        argument(value_name),
        help(text),
        set(setter),
        shown_default(shower),
        min(low),
        max(high),
        alias(spelling) {}

  std::string_view name;      // "--max-connections"
  std::string_view argument;  // "N"; empty for an option that takes no value
  std::string_view help;      // one sentence, wrapped where it is shown
  Setter set;
  Shower shown_default;
  std::uint64_t min;  // a number's range; max 0: the value is not a number
  std::uint64_t max;
  std::string_view alias;  // another spelling ("-h")
};

// Where a value lands: a path of members from Options, as in
// At<&Options::config, &Config::limits, &Limits::ws_queue>(options).
template <auto... Path, typename Root>
auto& At(Root& root) {
  return (root.*....*Path);
}

// Setters for the rows of any file: the value as it is, one more item of a list, and a switch.
template <auto... Path>
Verdict SetText(const Option&, std::string_view value, Options& options) {
  At<Path...>(options) = std::string(value);
  return Verdict::kTaken;
}

template <auto... Path>
Verdict AddText(const Option&, std::string_view value, Options& options) {
  At<Path...>(options).emplace_back(value);
  return Verdict::kTaken;
}

template <auto... Path>
Verdict SetTrue(const Option&, std::string_view, Options& options) {
  At<Path...>(options) = true;
  return Verdict::kTaken;
}

// The rows only some builds have (MQTT on Linux), and their check once every option is read:
// the reason to refuse the command line, or nullopt.
struct PlatformOptions {
  std::vector<Option> rows;
  std::optional<std::string> (*check)(const Options& options);
};
const PlatformOptions& PlatformOptionRows();

// Every row, the platform's after the common ones.
const std::vector<Option>& OptionTable();

// What the command line asks for: to run with `options`, or to exit at once with
// `exit_status` after printing `message` (usage included where it belongs) to stdout for
// status 0, else to stderr.
struct Command {
  Options options;
  std::optional<int> exit_status;
  std::string message;
};
Command ParseCommandLine(int argc, const char* const* argv);

// The option list, one row per option and its help wrapped beside it, each line starting
// with `prefix` ("" for --help, "#" for the configuration file).
std::string FormatOptionList(std::string_view prefix);
// The same list as man page (roff) paragraphs.
std::string FormatManOptions();
// The whole --help text.
std::string UsageText();

}  // namespace qeld
