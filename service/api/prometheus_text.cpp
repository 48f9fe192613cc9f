#include "prometheus_text.h"

namespace qeld {

std::string EscapeLabel(std::string_view value) {
  std::string out;
  for (const char c : value) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '\\' || c == '"') out += '\\';
    out += c;
  }
  return out;
}

void PrometheusText::Family(std::string_view name, std::string_view help, std::string_view type) {
  name_ = name;
  text_.append("# HELP ").append(name).append(" ").append(help).append("\n");
  text_.append("# TYPE ").append(name).append(" ").append(type).append("\n");
}

void PrometheusText::Sample(std::initializer_list<Label> labels, std::uint64_t value) {
  text_ += name_;
  if (labels.size() > 0) {
    char separator = '{';
    for (const auto& [label, label_value] : labels) {
      text_ += separator;
      text_.append(label).append("=\"").append(EscapeLabel(label_value)).append("\"");
      separator = ',';
    }
    text_ += '}';
  }
  text_.append(" ").append(std::to_string(value)).append("\n");
}

}  // namespace qeld
