// Refused requests as log lines, for an administrator to see who is turned away and why: the
// first of each reason at once, then at most one a minute per reason saying how many came
// meanwhile, so a page hammering the service cannot flood the system's log. Only the path
// is shown: a query may carry a token.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>

namespace qeld {

class RefusalLog {
 public:
  using Clock = std::chrono::steady_clock;
  using Write = std::function<void(std::string line)>;

  explicit RefusalLog(Write write) : write_(std::move(write)) {}

  // On the network thread only.
  void Refused(int status, const std::string& reason, std::string_view target,
               Clock::time_point now);

 private:
  struct Reason {
    Clock::time_point last_written;
    std::uint64_t unwritten = 0;
  };

  static constexpr std::chrono::seconds kInterval{60};
  Write write_;
  std::map<std::string, Reason> reasons_;
};

}  // namespace qeld
