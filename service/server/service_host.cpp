#include "service_host.h"

#include <cstdio>

namespace qeld {

Hosting::Say ConsoleSay() {
  return [](const std::string& message, bool ok) {
    std::fputs(message.c_str(), ok ? stdout : stderr);
  };
}

}  // namespace qeld
