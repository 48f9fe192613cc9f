// The option table as text: --help, the configuration file's comments and the man page.
#include <vector>

#include "named_port.h"
#include "options.h"

namespace qeld {
namespace {

constexpr std::size_t kWidth = 80;       // --help and the configuration file fit a terminal
constexpr std::size_t kHelpColumn = 24;  // where the help starts beside the option

std::vector<std::string> Wrap(std::string_view text, std::size_t width) {
  std::vector<std::string> lines(1);
  while (!text.empty()) {
    const std::size_t space = text.find(' ');
    const std::string_view word = text.substr(0, space);
    text = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);
    if (!lines.back().empty() && lines.back().size() + 1 + word.size() > width) {
      lines.emplace_back();
    }
    if (!lines.back().empty()) lines.back() += ' ';
    lines.back() += word;
  }
  return lines;
}

// The row's sentence and the default a plain start has.
std::string HelpOf(const Option& row) {
  std::string help(row.help);
  if (row.shown_default != nullptr) help += " (default " + row.shown_default(Options{}) + ")";
  return help;
}

std::string Spelling(const Option& row) {
  std::string text(row.alias.empty() ? "" : std::string(row.alias) + ", ");
  text += row.name;
  if (!row.argument.empty()) text += " " + std::string(row.argument);
  return text;
}

// Text as roff: a backslash or a minus sign must not be read as an escape or a hyphen, nor a
// leading dot or quote as a request.
std::string Roff(std::string_view text) {
  std::string out = !text.empty() && (text.front() == '.' || text.front() == '\'') ? "\\&" : "";
  for (char c : text) {
    if (c == '\\') {
      out += "\\e";
    } else if (c == '-') {
      out += "\\-";
    } else {
      out += c;
    }
  }
  return out;
}

// The port options with what each takes, asked of the port name parser itself: its refusal of
// an unknown option lists every option it knows, and its refusal of a bad value says what that
// option takes. So the help follows the parser's table and keeps no copy of it.
std::string PortOptionList() {
  constexpr std::string_view kBad = "!";  // a value no option takes
  std::string error;
  qel::ParseNamedPort("P?!=1", error);
  const std::size_t known = error.find("(known: ");
  if (known == std::string::npos || error.empty() || error.back() != ')') return "";
  std::string names = error.substr(known + 8, error.size() - known - 9) + ", ";
  const std::string indent(kHelpColumn, ' ');
  std::string list;
  for (std::size_t start = 0, end; (end = names.find(", ", start)) != std::string::npos;
       start = end + 2) {
    const std::string name = names.substr(start, end - start);
    qel::ParseNamedPort("P?" + name + "=" + std::string(kBad), error);
    const std::size_t takes = error.find(" takes ");
    const std::size_t value = error.rfind(", not '");
    std::string help = takes == std::string::npos || value == std::string::npos || value < takes
                           ? std::string()
                           : error.substr(takes + 7, value - takes - 7);
    if (name == "protocol") help += "; default " + std::string(qel::DefaultProtocol().id);
    std::string left = "  " + name + "=";
    left.resize(kHelpColumn, ' ');
    const std::vector<std::string> lines = Wrap(help, kWidth - kHelpColumn);
    list += left + lines.front() + "\n";
    for (std::size_t i = 1; i < lines.size(); ++i) list += indent + lines[i] + "\n";
  }
  return list;
}

}  // namespace

std::string FormatOptionList(std::string_view prefix) {
  const std::string indent = std::string(prefix) + std::string(kHelpColumn, ' ');
  std::string list;
  for (const Option& row : OptionTable()) {
    std::string left = std::string(prefix) + "  " + Spelling(row);
    if (left.size() + 2 > indent.size()) {
      list += left + "\n";  // too long to share a line with its help
      left = indent;
    }
    left.resize(indent.size(), ' ');
    const std::vector<std::string> lines = Wrap(HelpOf(row), kWidth - indent.size());
    list += left + lines.front() + "\n";
    for (std::size_t i = 1; i < lines.size(); ++i) list += indent + lines[i] + "\n";
  }
  return list;
}

std::string FormatManOptions() {
  std::string page;
  for (const Option& row : OptionTable()) {
    const std::string name =
        Roff(row.alias.empty() ? "" : std::string(row.alias) + ", ") + Roff(row.name);
    page += ".TP\n";
    page += row.argument.empty() ? ".B \"" + name + "\"\n"
                                 : ".BI \"" + name + " \" " + Roff(row.argument) + "\n";
    page += Roff(HelpOf(row)) + "\n";
  }
  return page;
}

std::string UsageText() {
  return "usage: qelscaled [--port NAME]... [--stream NAME]... [options]\n\n" +
         FormatOptionList("") +
         "\nA port NAME may carry options that pick the scale's protocol and line, as in\n"
         "\"COM3?protocol=cas\", \"/dev/ttyUSB0?protocol=auto\" or\n"
         "\"COM4?protocol=mt-sics&baud=4800&framing=8N1\". Without options a port reads the\n"
         "driver's own frames. Requests and readings name the port without its options\n"
         "(?port=COM3). The options:\n" +
         PortOptionList() +
         "\nAPI: GET /v1/weight?port=NAME[&stable=1&timeout_ms=N], GET /v1/ports,\n"
         "POST /v1/zero?port=NAME, POST /v1/tare?port=NAME, GET /metrics,\n"
         "WebSocket /v1/stream?port=NAME, the page at /.\n"
         "Driver messages go to stderr.\n";
}

}  // namespace qeld
