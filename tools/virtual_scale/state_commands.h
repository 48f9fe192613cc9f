// The stdin commands (and the options) that set the scale's state: weight, mode, motion,
// condition, unit, tare, commands, decimals, checksum.
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "scale_stream.h"

namespace vscale {

// A command line's first word and the rest, without the blanks around it.
struct CommandLine {
  std::string_view verb;
  std::string_view arg;
};
CommandLine SplitCommandLine(std::string_view line);

// Runs `verb` with `arg` on the scale; its answer, "ok" or "error: ...". No value when `verb`
// is no state command.
std::optional<std::string> RunStateCommand(std::string_view verb, std::string_view arg,
                                           ScaleStream& stream);

}  // namespace vscale
