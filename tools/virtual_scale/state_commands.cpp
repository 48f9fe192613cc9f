#include "state_commands.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

namespace vscale {
namespace {

constexpr int kMostDecimals = 5;

std::optional<double> ParseNumber(std::string_view text) {
  const std::string copy(text);
  char* end = nullptr;
  errno = 0;
  const double value = std::strtod(copy.c_str(), &end);
  if (copy.empty() || end != copy.c_str() + copy.size() || errno != 0 || !std::isfinite(value)) {
    return std::nullopt;
  }
  return value;
}

// On/off words of the switches.
std::optional<bool> ParseSwitch(std::string_view text) {
  if (text == "on") return true;
  if (text == "off") return false;
  return std::nullopt;
}

// Whether the display shows the weight, the tare and the net weight of `state` (the test
// mode's negation aside: a negated weight that does not fit is sent as it is).
bool Shows(const Emulation& emulation, const ScaleState& state) {
  return emulation.fits(state.weight, state.decimals) &&
         emulation.fits(state.tare, state.decimals) &&
         emulation.fits(state.weight - state.tare, state.decimals);
}

std::string WidthError(const Emulation& emulation, std::string_view what) {
  return "error: " + std::string(what) + " must be a number that fits in " +
         std::to_string(emulation.width) + " characters";
}

// Applies `change` to a copy of the state and keeps it only when the display shows it.
template <typename Change>
std::string ChangeWeights(ScaleStream& stream, std::string_view what, Change change) {
  ScaleState next = stream.state();
  change(next);
  if (!Shows(stream.emulation(), next)) {
    return WidthError(stream.emulation(), what);
  }
  stream.state() = next;
  return "ok";
}

std::string Weight(std::string_view arg, ScaleStream& stream) {
  const std::optional<double> value = ParseNumber(arg);
  if (!value) return WidthError(stream.emulation(), "weight");
  return ChangeWeights(stream, "weight", [&](ScaleState& s) { s.weight = *value; });
}

std::string Tare(std::string_view arg, ScaleStream& stream) {
  const std::optional<double> value = ParseNumber(arg);
  if (!value) return WidthError(stream.emulation(), "tare");
  return ChangeWeights(stream, "tare", [&](ScaleState& s) { s.tare = *value; });
}

std::string Decimals(std::string_view arg, ScaleStream& stream) {
  if (arg.size() != 1 || arg[0] < '0' || arg[0] > '0' + kMostDecimals) {
    return "error: decimals must be 0 to 5";
  }
  return ChangeWeights(stream, "weight", [&](ScaleState& s) { s.decimals = arg[0] - '0'; });
}

std::string SetMode(std::string_view arg, ScaleStream& stream) {
  const std::optional<Mode> mode = ParseMode(arg);
  if (!mode) return "error: unknown mode";
  stream.SetMode(*mode);
  return "ok";
}

std::string Motion(std::string_view arg, ScaleStream& stream) {
  const std::optional<bool> on = ParseSwitch(arg);
  if (!on) return "error: motion is on or off";
  stream.state().motion = *on;
  return "ok";
}

std::string Checksum(std::string_view arg, ScaleStream& stream) {
  const std::optional<bool> on = ParseSwitch(arg);
  if (!on) return "error: checksum is on or off";
  stream.state().checksum = *on;
  return "ok";
}

// A word per value, for the commands that pick one.
template <typename T>
struct Word {
  std::string_view text;
  T value;
};

constexpr Word<Condition> kConditions[] = {{"normal", Condition::kNormal},
                                           {"overload", Condition::kOverload},
                                           {"under-zero", Condition::kUnderZero},
                                           {"busy", Condition::kBusy}};
constexpr Word<WeightUnit> kUnits[] = {{"kg", WeightUnit::kKg},
                                       {"g", WeightUnit::kG},
                                       {"lb", WeightUnit::kLb},
                                       {"oz", WeightUnit::kOz}};
constexpr Word<CommandPolicy> kPolicies[] = {{"ack", CommandPolicy::kAck},
                                             {"refuse", CommandPolicy::kRefuse},
                                             {"ignore", CommandPolicy::kIgnore}};

template <typename T, std::size_t N>
std::string Pick(const Word<T> (&words)[N], std::string_view arg, T& target,
                 std::string_view what) {
  for (const Word<T>& word : words) {
    if (word.text != arg) continue;
    target = word.value;
    return "ok";
  }
  std::string error = "error: " + std::string(what) + " is";
  for (std::size_t i = 0; i < N; ++i) error += (i == 0 ? " " : " | ") + std::string(words[i].text);
  return error;
}

std::string SetCondition(std::string_view arg, ScaleStream& stream) {
  return Pick(kConditions, arg, stream.state().condition, "condition");
}
std::string SetUnit(std::string_view arg, ScaleStream& stream) {
  return Pick(kUnits, arg, stream.state().unit, "unit");
}
std::string SetCommands(std::string_view arg, ScaleStream& stream) {
  return Pick(kPolicies, arg, stream.state().commands, "commands");
}

struct StateCommand {
  std::string_view verb;
  std::string (*run)(std::string_view arg, ScaleStream& stream);
};
constexpr StateCommand kStateCommands[] = {
    {"weight", Weight},     {"tare", Tare},
    {"decimals", Decimals}, {"mode", SetMode},
    {"motion", Motion},     {"condition", SetCondition},
    {"unit", SetUnit},      {"commands", SetCommands},
    {"checksum", Checksum},
};

}  // namespace

CommandLine SplitCommandLine(std::string_view line) {
  const std::size_t space = line.find(' ');
  std::string_view arg = space == std::string_view::npos ? "" : line.substr(space + 1);
  while (!arg.empty() && arg.front() == ' ') arg.remove_prefix(1);
  while (!arg.empty() && arg.back() == ' ') arg.remove_suffix(1);
  return {line.substr(0, space), arg};
}

std::optional<std::string> RunStateCommand(std::string_view verb, std::string_view arg,
                                           ScaleStream& stream) {
  for (const StateCommand& command : kStateCommands) {
    if (command.verb == verb) return command.run(arg, stream);
  }
  return std::nullopt;
}

}  // namespace vscale
