#include "service_host.h"

namespace qeld {

// systemd and the shell both start us as a console program.
int RunHosted(int argc, char** argv, HostedMain body) {
  Hosting console(StderrOutput(), ConsoleSay());
  return body(argc, argv, console);
}

}  // namespace qeld
