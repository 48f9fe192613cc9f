// How long the driver's calls take when no reading comes: a port that does not exist (no
// pause, no read) and a silent scale (the pause, then the whole read timeout). Figures the
// tests no longer assert, since a busy machine stretches them.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "bench_stats.h"
#include "qel_weigher/qel_weigher.h"
#include "scale_process.h"

namespace {

double NowMs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e3 + static_cast<double>(ts.tv_nsec) / 1e6;
}

void Quiet(const char*, const char*, int, void*) {}

// Times `calls` probes of `port`; returns false when one of them found a scale.
bool TimeProbes(Qelscale* driver, const char* port, int calls, std::vector<double>& ms) {
  for (int i = 0; i < calls; ++i) {
    const double start = NowMs();
    if (Qelscale_OpenComPort_(driver, port) != 0) return false;
    ms.push_back(NowMs() - start);
  }
  return true;
}

void Report(const char* what, const std::vector<double>& ms) {
  using qel::bench::Quantile;
  std::printf("%s: median %.1f ms, p99 %.1f ms, max %.1f ms (%zu calls)\n", what, Quantile(ms, 0.5),
              Quantile(ms, 0.99), Quantile(ms, 1.0), ms.size());
}

}  // namespace

int main(int argc, char** argv) {
  int calls = 20;
  if (argc == 3 && std::strcmp(argv[1], "--calls") == 0) calls = std::atoi(argv[2]);
  if (calls < 1) {
    std::fprintf(stderr, "usage: qel_failure_latency [--calls N]\n");
    return 2;
  }
  Qel_SetMessageHandler(Quiet, nullptr);
  Qelscale* driver = Qelscale_Create();
  if (driver == nullptr) return 1;

  std::vector<double> absent_ms;
  std::vector<double> silent_ms;
  qel::e2e::ScaleProcess silent({"--mode", "silent"});
  const bool ok = TimeProbes(driver, "/nonexistent/tty", calls, absent_ms) &&
                  TimeProbes(driver, silent.port().c_str(), calls, silent_ms);
  Qelscale_Release(driver);
  if (!ok) {
    std::fprintf(stderr, "a probe found a scale where there is none\n");
    return 1;
  }
  Report("probe of an absent port (no pause)", absent_ms);
  Report("probe of a silent scale (600 ms pause + 256 ms read timeout)", silent_ms);
  return 0;
}
