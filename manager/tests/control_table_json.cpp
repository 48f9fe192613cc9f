// Prints the bench's control table as one JSON object, so that tests outside C++ (the Wine
// bench test) check the window against the same table both toolkits build from.
#include <cstdio>
#include <string>
#include <string_view>

#include "control_table.h"

namespace {

using weightbench::ControlKind;

std::string Quoted(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (static_cast<unsigned char>(c) < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", static_cast<unsigned>(c));
      out += escaped;
    } else {
      out += c;  // UTF-8 passes through
    }
  }
  return out + "\"";
}

const char* KindName(ControlKind kind) {
  switch (kind) {
    case ControlKind::kFrame:
      return "Frame";
    case ControlKind::kLabel:
      return "Label";
    case ControlKind::kComboBox:
      return "ComboBox";
    case ControlKind::kButton:
      return "Button";
  }
  return "?";
}

}  // namespace

int main() {
  std::string json = "{\"form\": " + Quoted(weightbench::kFormName) +
                     ", \"caption\": " + Quoted(weightbench::kFormCaption) +
                     ", \"client_twips\": [" + std::to_string(weightbench::kClientWidthTwips) +
                     ", " + std::to_string(weightbench::kClientHeightTwips) + "], \"controls\": [";
  const char* separator = "";
  for (const weightbench::ControlEntry& entry : weightbench::kControls) {
    json += separator;
    separator = ", ";
    // "index": the control's place in ControlId, from which the front ends number them.
    json += "\n  {\"name\": " + Quoted(entry.name) +
            ", \"index\": " + std::to_string(static_cast<int>(entry.id)) +
            ", \"kind\": " + Quoted(KindName(entry.kind)) +
            ", \"caption\": " + Quoted(entry.caption) + ", \"twips\": [" +
            std::to_string(entry.left) + ", " + std::to_string(entry.top) + ", " +
            std::to_string(entry.width) + ", " + std::to_string(entry.height) +
            "], \"tab_index\": " + std::to_string(entry.tab_index) +
            ", \"enabled_at_start\": " + (entry.enabled_at_start ? "true" : "false") + "}";
  }
  json += "\n]}\n";
  return std::fputs(json.c_str(), stdout) < 0 ? 1 : 0;
}
