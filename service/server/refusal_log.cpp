#include "refusal_log.h"

namespace qeld {
namespace {

constexpr std::size_t kShownPathBytes = 80;

// The path without the query, printable ASCII only, cut short: it comes from the client.
std::string ShownPath(std::string_view target) {
  target = target.substr(0, target.find('?'));
  std::string shown;
  for (const char c : target.substr(0, kShownPathBytes)) {
    const auto byte = static_cast<unsigned char>(c);
    shown += byte >= 0x20 && byte < 0x7F ? c : '?';
  }
  if (target.size() > kShownPathBytes) shown += "...";
  return shown;
}

}  // namespace

void RefusalLog::Refused(int status, const std::string& reason, std::string_view target,
                         Clock::time_point now) {
  const auto found = reasons_.find(reason);
  if (found != reasons_.end() && now - found->second.last_written < kInterval) {
    ++found->second.unwritten;
    return;
  }
  std::string line = "refused " + ShownPath(target) + ": " + std::to_string(status) + " " + reason;
  if (found != reasons_.end() && found->second.unwritten > 0) {
    line += " (and " + std::to_string(found->second.unwritten) + " more since the last)";
  }
  reasons_[reason] = {now, 0};
  write_(std::move(line));
}

}  // namespace qeld
