// Prometheus text exposition: a family's HELP and TYPE lines, then its samples, with label
// values escaped. Shared by the service's /metrics and the MQTT publisher's figures.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <string_view>
#include <utility>

namespace qeld {

class PrometheusText {
 public:
  using Label = std::pair<std::string_view, std::string_view>;

  // Starts a family; the samples that follow carry its name.
  void Family(std::string_view name, std::string_view help, std::string_view type);
  void Sample(std::uint64_t value) { Sample({}, value); }
  void Sample(std::initializer_list<Label> labels, std::uint64_t value);
  void Append(const std::string& text) { text_ += text; }

  const std::string& text() const { return text_; }

 private:
  std::string text_;
  std::string name_;
};

// A label value as the format needs it: backslash, double quote and newline escaped.
std::string EscapeLabel(std::string_view value);

}  // namespace qeld
