// How qelscaled runs: from a prompt, or under the system's service manager (Windows), which
// starts it with the arguments an administrator stored, sends its log to the system's log
// and stops it through `control`. The service itself (main.cpp) is the same either way.
#pragma once

#include <functional>
#include <string>

#include "log_sink.h"
#include "serve_control.h"

namespace qeld {

struct Hosting {
  // What ends a run before it serves: usage or a refusal, `ok` false for a refusal. Composed
  // by the caller, shown as it is.
  using Say = std::function<void(const std::string& message, bool ok)>;

  Hosting(LogOutput log_output, Say say_message)
      : log(std::move(log_output)), say(std::move(say_message)) {}

  LogOutput log;
  Say say;
  ServeControl control;
};

// A console's hosting: the log to stderr, usage to stdout, refusals to stderr.
Hosting::Say ConsoleSay();

using HostedMain = int (*)(int argc, const char* const* argv, Hosting& hosting);

// Runs `body` as the process was started: under the service manager when it started us,
// else at once on the console. Returns the process's exit status.
int RunHosted(int argc, char** argv, HostedMain body);

}  // namespace qeld
