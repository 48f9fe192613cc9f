// Header checks that come before routing: a request whose length or whose Host, Origin or
// Authorization could be read two ways is refused, so nothing in front of the service (or the
// service itself) can take its bytes for a different request than the one it checked.
#pragma once

#include <optional>
#include <string_view>
#include <vector>

namespace qeld {

struct HeaderField {
  std::string_view name;
  std::string_view value;
};

// The reason to answer 400 ("bad-transfer-encoding", "repeated-header"), or nullopt. The only
// Transfer-Encoding served is a single "chunked"; Host, Origin and Authorization come once.
std::optional<std::string_view> FramingFault(const std::vector<HeaderField>& fields);

}  // namespace qeld
