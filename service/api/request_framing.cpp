#include "request_framing.h"

#include <cctype>

namespace qeld {
namespace {

bool SameWord(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) !=
        std::tolower(static_cast<unsigned char>(b[i]))) {
      return false;
    }
  }
  return true;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

// The fields that may appear once, Transfer-Encoding first.
constexpr std::string_view kSingle[] = {"transfer-encoding", "host", "origin", "authorization"};

}  // namespace

std::optional<std::string_view> FramingFault(const std::vector<HeaderField>& fields) {
  unsigned seen[std::size(kSingle)] = {};
  bool repeated = false;
  for (const HeaderField& field : fields) {
    for (std::size_t i = 0; i < std::size(kSingle); ++i) {
      if (SameWord(field.name, kSingle[i]) && ++seen[i] > 1) repeated = true;
    }
    // Anything else ("gzip", "chunked, gzip", "xchunked") leaves the body's end to guesswork.
    if (SameWord(field.name, kSingle[0]) && !SameWord(Trim(field.value), "chunked")) {
      return "bad-transfer-encoding";
    }
  }
  if (seen[0] > 1) return "bad-transfer-encoding";
  if (repeated) return "repeated-header";
  return std::nullopt;
}

}  // namespace qeld
