// Files that hold a secret must be readable and writable by their owner only: another local
// user who can read the token reads the scale from any page, the MQTT password opens the
// broker, and one who can write either puts in a secret of their own.
#pragma once

#include <optional>
#include <string>

namespace qeld {

// Why `path` is open to others ("readable by group or others (mode 0644)", "writable by
// ..."), or nullopt when it is not. A file that cannot be looked at is left to the read that
// follows, which reports why.
std::optional<std::string> SecretFileExposed(const std::string& path);

}  // namespace qeld
