// Files that hold a secret must be readable by their owner only: another local user who can
// read the token reads the scale from any page, and the MQTT password opens the broker.
#pragma once

#include <optional>
#include <string>

namespace qeld {

// Why `path` is readable by others ("readable by group or others (mode 0644)"), or nullopt
// when it is not. A file that cannot be looked at is left to the read that follows, which
// reports why.
std::optional<std::string> SecretFileExposed(const std::string& path);

}  // namespace qeld
