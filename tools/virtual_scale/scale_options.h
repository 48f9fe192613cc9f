// The command line of the virtual scale, the same on every platform: the protocol, the line
// and the starting state, and the program's own options that name a device or a file.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "line.h"
#include "scale_stream.h"

namespace vscale {

struct Options {
  const Emulation* emulation = &kQelEmulation;
  std::optional<std::uint32_t> baud;
  std::optional<LineFormat> framing;  // data bits, parity and stop bits only
  // Options that set the state, as the commands they equal ("weight 1.5"), run once the
  // protocol is known.
  std::vector<std::pair<std::string, std::string>> state;
  // The program's own options taking a text (--symlink PATH, --port COM5), by name.
  std::map<std::string, std::string, std::less<>> texts;

  // The protocol's line with the options' speed and framing.
  LineFormat Line() const;
  // The value of one of the program's own options; "" when it was not given.
  std::string Text(std::string_view name) const;
};

// Reads the command line into `options`; `own` names the program's options that take a text.
// An exit status when the program is to end at once: 0 after `usage` for --help, 2 after a
// message for a wrong argument.
std::optional<int> ParseArguments(int argc, char** argv, const std::vector<std::string_view>& own,
                                  const char* usage, Options& options);

// Runs the state options on the scale as their commands; false after a message.
bool ApplyStateOptions(const Options& options, ScaleStream& stream);

}  // namespace vscale
