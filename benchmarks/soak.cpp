// Many driver calls with the 600 ms pause taken out, against the virtual scale: the open
// descriptors and the resident memory must not grow.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "bench_stats.h"
#include "platform_services.h"
#include "posix_platform.h"
#include "qelscale.h"
#include "scale_process.h"

namespace {

class NoPause final : public qel::Sleeper {
 public:
  void SleepMs(std::uint32_t) override {}
};

void CountMessages(const char*, const char*, int, void* context) { ++*static_cast<int*>(context); }

}  // namespace

int main(int argc, char** argv) {
  long calls = 10000;
  if (argc == 3 && std::strcmp(argv[1], "--calls") == 0) calls = std::atol(argv[2]);
  if (calls < 1) {
    std::fprintf(stderr, "usage: qel_soak [--calls N]\n");
    return 2;
  }
  constexpr long kWarmUp = 50;  // first-use allocations: thread state, locale, stdio

  qel::e2e::ScaleProcess scale;
  int messages = 0;
  qel::posix::SetMessageHandler(CountMessages, &messages);
  NoPause no_pause;
  qel::Services& platform = qel::PlatformServices();
  qel::Services services{platform.serial, platform.messages, platform.locale, no_pause,
                         platform.states};

  qel::Qelscale driver(services);
  driver.OpenComPort_(scale.port());
  for (long i = 0; i < kWarmUp; ++i) driver.GetWeight_();

  const std::size_t fds_before = qel::bench::OpenFdCount();
  const long rss_before = qel::bench::ResidentKib();
  long readings = 0;
  long wrong = 0;  // a reading other than the scale's weight
  long probes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (long i = 0; i < calls; ++i) {
    const std::string weight = driver.GetWeight_();
    if (weight != "0") ++readings;
    if (weight != "0" && weight != "1.234" && weight != "1,234") ++wrong;  // either number format
    if (i % 10 == 0) {
      driver.OpenComPort_(scale.port());
      ++probes;
    }
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const std::size_t fds_after = qel::bench::OpenFdCount();
  const long rss_after = qel::bench::ResidentKib();

  std::printf(
      "soak: %ld GetWeight_ and %ld OpenComPort_ calls in %.1f s, %ld with a reading "
      "(%ld of them wrong), %d messages\n",
      calls, probes, seconds, readings, wrong, messages);
  std::printf("open descriptors: %zu before, %zu after\n", fds_before, fds_after);
  std::printf("resident memory: %ld KiB before, %ld KiB after\n", rss_before, rss_after);
  // Allocator noise stays well under a page cluster; a per-call leak over this many calls
  // would not.
  const bool grew = fds_after != fds_before || rss_after - rss_before > 256;
  std::printf("%s\n", grew ? "GROWTH" : "no growth");
  // A driver that never reads would soak without growth too.
  if (readings == 0) std::printf("NO READING\n");
  return grew || messages != 0 || readings == 0 || wrong != 0 ? 1 : 0;
}
