#include "scale_options.h"

#include <cstdio>

#include "state_commands.h"

namespace vscale {
namespace {

// One option of the scale taking a value: false when the value is refused.
struct OptionRule {
  std::string_view name;
  bool (*apply)(std::string_view value, Options& options);
};

bool ProtocolOption(std::string_view value, Options& options) {
  options.emulation = FindEmulation(value);
  return options.emulation != nullptr;
}

bool LineOption(std::string_view value, Options& options) {
  LineFormat line;
  if (!ParseLine(value, line)) return false;
  options.baud = line.baud;
  options.framing = line;
  return true;
}

bool BaudOption(std::string_view value, Options& options) {
  options.baud = ParseBaud(value);
  return options.baud.has_value();
}

bool FramingOption(std::string_view value, Options& options) {
  LineFormat line;
  if (!ParseFraming(value, line)) return false;
  options.framing = line;
  return true;
}

template <const char* kVerb>
bool StateOption(std::string_view value, Options& options) {
  options.state.emplace_back(kVerb, std::string(value));
  return true;
}
constexpr char kWeight[] = "weight";
constexpr char kDecimals[] = "decimals";
constexpr char kMode[] = "mode";

constexpr OptionRule kOptionRules[] = {
    {"--protocol", ProtocolOption},
    {"--line", LineOption},
    {"--baud", BaudOption},
    {"--framing", FramingOption},
    {"--weight", StateOption<kWeight>},
    {"--decimals", StateOption<kDecimals>},
    {"--mode", StateOption<kMode>},
};

const OptionRule* FindRule(std::string_view name) {
  for (const OptionRule& rule : kOptionRules) {
    if (rule.name == name) return &rule;
  }
  return nullptr;
}

}  // namespace

LineFormat Options::Line() const {
  LineFormat line = emulation->line;
  if (baud) line.baud = *baud;
  if (framing) {
    line.data_bits = framing->data_bits;
    line.parity = framing->parity;
    line.stop_bits = framing->stop_bits;
  }
  return line;
}

std::string Options::Text(std::string_view name) const {
  const auto found = texts.find(name);
  return found == texts.end() ? std::string() : found->second;
}

std::optional<int> ParseArguments(int argc, char** argv, const std::vector<std::string_view>& own,
                                  const char* usage, Options& options) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(usage, stdout);
      return 0;
    }
    const OptionRule* rule = FindRule(arg);
    bool is_own = false;
    for (const std::string_view name : own) is_own |= name == arg;
    if ((rule == nullptr && !is_own) || i + 1 >= argc) {
      std::fputs(usage, stderr);
      return 2;
    }
    const std::string_view value = argv[++i];
    if (is_own ? value.empty() : !rule->apply(value, options)) {
      std::fprintf(stderr, "virtual_scale: bad value for %s: '%s'\n", argv[i - 1], argv[i]);
      return 2;
    }
    if (is_own) options.texts[std::string(arg)] = value;
  }
  return std::nullopt;
}

bool ApplyStateOptions(const Options& options, ScaleStream& stream) {
  for (const auto& [verb, value] : options.state) {
    const std::optional<std::string> reply = RunStateCommand(verb, value, stream);
    if (reply && *reply == "ok") continue;
    // The command's "error: ..." without its prefix.
    const std::string why = reply ? reply->substr(reply->find(' ') + 1) : "unknown option";
    std::fprintf(stderr, "virtual_scale: --%s %s: %s\n", verb.c_str(), value.c_str(), why.c_str());
    return false;
  }
  return true;
}

}  // namespace vscale
