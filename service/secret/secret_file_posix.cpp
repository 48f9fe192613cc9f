#include <sys/stat.h>

#include <cstdio>

#include "secret_file.h"

namespace qeld {

std::optional<std::string> SecretFileExposed(const std::string& path) {
  struct stat status {};
  if (stat(path.c_str(), &status) != 0) return std::nullopt;
  // A POSIX ACL that grants a named user or group shows in the group bits too.
  const unsigned mode = status.st_mode & 0777u;
  const bool readable = (mode & (S_IRGRP | S_IROTH)) != 0;
  // Another user who can write it plants a secret of their own, taken at the next start.
  const bool writable = (mode & (S_IWGRP | S_IWOTH)) != 0;
  if (!readable && !writable) return std::nullopt;
  char octal[8];
  std::snprintf(octal, sizeof octal, "%04o", mode);
  const std::string how = readable ? "readable" : "writable";
  return how + " by group or others (mode " + std::string(octal) + "): make it " + how +
         " by its owner only (chmod 600)";
}

}  // namespace qeld
