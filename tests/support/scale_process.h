// Runs one virtual_scale process for a test or a benchmark and talks to it over its stdin and
// stdout.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace qel::e2e {

class ScaleProcess {
 public:
  // Starts virtual_scale with `args` and waits for the slave path it prints.
  explicit ScaleProcess(const std::vector<std::string>& args = {});
  ~ScaleProcess();
  ScaleProcess(const ScaleProcess&) = delete;
  ScaleProcess& operator=(const ScaleProcess&) = delete;

  const std::string& port() const { return port_; }

  // Sends one command line and returns the scale's answer ("ok" or "error: ...").
  std::string Command(const std::string& line);

  // Waits up to `timeout_ms` for the process to end; true when it has.
  bool WaitForExit(int timeout_ms);

 private:
  std::string ReadLine(int timeout_ms);
  // Ends the scale and closes the pipes; also on a failed start, which runs no destructor.
  void Stop();

  pid_t pid_ = -1;
  int to_scale_ = -1;
  int from_scale_ = -1;
  std::string pending_;
  std::string port_;
};

}  // namespace qel::e2e
