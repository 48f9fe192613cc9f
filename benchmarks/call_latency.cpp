// Whole GetWeight_ calls through the C interface against the virtual scale. Every call
// pauses 600 ms by design; what matters is the time beyond that pause and the CPU spent.
#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "qel_weigher/qel_weigher.h"
#include "scale_process.h"

namespace {

double NowMs(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void CountMessages(const char*, const char*, int, void* context) { ++*static_cast<int*>(context); }

}  // namespace

int main(int argc, char** argv) {
  int calls = 60;
  if (argc == 3 && std::strcmp(argv[1], "--calls") == 0) calls = std::atoi(argv[2]);
  if (calls < 1) {
    std::fprintf(stderr, "usage: qel_call_latency [--calls N]\n");
    return 2;
  }

  qel::e2e::ScaleProcess scale;
  int messages = 0;
  Qel_SetMessageHandler(CountMessages, &messages);
  Qelscale* driver = Qelscale_Create();
  if (driver == nullptr || Qelscale_OpenComPort_(driver, scale.port().c_str()) == 0) {
    std::fprintf(stderr, "the virtual scale did not answer on %s\n", scale.port().c_str());
    return 1;
  }

  std::vector<double> above_pause_ms;
  std::vector<double> cpu_ms;
  int readings = 0;
  const std::string expected = Qelscale_GetWeight_(driver);
  for (int i = 0; i < calls; ++i) {
    const double wall_start = NowMs(CLOCK_MONOTONIC);
    const double cpu_start = NowMs(CLOCK_THREAD_CPUTIME_ID);
    const char* weight = Qelscale_GetWeight_(driver);
    cpu_ms.push_back(NowMs(CLOCK_THREAD_CPUTIME_ID) - cpu_start);
    above_pause_ms.push_back(NowMs(CLOCK_MONOTONIC) - wall_start - 600.0);
    if (expected == weight) ++readings;
  }
  Qelscale_Release(driver);

  // For scale: how late a bare 600 ms sleep on this machine wakes up, with no port work.
  std::vector<double> sleep_overshoot_ms;
  for (int i = 0; i < 10; ++i) {
    const double start = NowMs(CLOCK_MONOTONIC);
    std::this_thread::sleep_for(std::chrono::milliseconds(600));
    sleep_overshoot_ms.push_back(NowMs(CLOCK_MONOTONIC) - start - 600.0);
  }

  using qel::bench::Quantile;
  std::printf("GetWeight_ calls: %d against %s, %d gave \"%s\", %d messages\n", calls,
              scale.port().c_str(), readings, expected.c_str(), messages);
  std::printf("wall time above the 600 ms pause: median %.3f ms, p99 %.3f ms, max %.3f ms\n",
              Quantile(above_pause_ms, 0.5), Quantile(above_pause_ms, 0.99),
              Quantile(above_pause_ms, 1.0));
  std::printf("of which a bare 600 ms sleep accounts for: median %.3f ms (10 sleeps)\n",
              Quantile(sleep_overshoot_ms, 0.5));
  std::printf("CPU time per call (calling thread): median %.3f ms, p99 %.3f ms\n",
              Quantile(cpu_ms, 0.5), Quantile(cpu_ms, 0.99));
  return readings == calls && messages == 0 ? 0 : 1;
}
