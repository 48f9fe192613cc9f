// protocol=auto against the virtual scale: the time detection takes for each protocol at its
// own line (median and worst of N runs), and the CPU a polled port costs at its default poll
// interval while the stream engine reads it.
#include <sys/resource.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "detection.h"
#include "named_port.h"
#include "platform_services.h"
#include "protocol.h"
#include "scale_process.h"
#include "weight_stream.h"

namespace {

using Clock = std::chrono::steady_clock;

double Seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
         static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

void Detection(int runs) {
  std::printf("%-18s %8s %8s %6s  %s\n", "protocol", "median", "worst", "found", "line");
  for (const qel::Protocol* protocol : qel::Protocols()) {
    qel::e2e::ScaleProcess scale({"--protocol", std::string(protocol->id)});
    std::vector<double> times;
    int found = 0;
    std::string line;
    for (int i = 0; i < runs; ++i) {
      const Clock::time_point start = Clock::now();
      const qel::DetectResult result =
          qel::DetectProtocol(qel::PlatformServices().serial, scale.port());
      times.push_back(Seconds(Clock::now() - start));
      if (result.ok() && result.protocol == protocol) {
        ++found;
        line = qel::LineText(result.line);
      }
    }
    std::printf("%-18s %7.2fs %7.2fs %3d/%-2d  %s\n", std::string(protocol->id).c_str(),
                qel::bench::Quantile(times, 0.5), qel::bench::Quantile(times, 1.0), found, runs,
                line.c_str());
  }
}

void PolledCpu(double seconds) {
  std::printf("%-18s %8s %10s %9s\n", "polled protocol", "poll", "readings", "CPU");
  for (const qel::Protocol* protocol : qel::Protocols()) {
    if (!protocol->polled()) continue;
    qel::e2e::ScaleProcess scale({"--protocol", std::string(protocol->id)});
    std::string error;
    auto named =
        qel::ParseNamedPort(scale.port() + "?protocol=" + std::string(protocol->id), error);
    std::atomic<long> readings{0};
    qel::StreamEngine engine(qel::PlatformServices(), *named, qel::StreamOptions{},
                             [&](const qel::Reading& r, bool) { readings += r.ok ? 1 : 0; });
    const double cpu_before = CpuSeconds();
    const Clock::time_point start = Clock::now();
    std::thread worker([&engine] { engine.Run(); });
    std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
    engine.Stop();
    worker.join();
    const double wall = Seconds(Clock::now() - start);
    const double cpu = CpuSeconds() - cpu_before;
    std::printf("%-18s %6ums %10ld %8.2f%%\n", std::string(protocol->id).c_str(), protocol->poll_ms,
                readings.load(), 100.0 * cpu / wall);
  }
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 20;
  double seconds = 10;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (std::strcmp(argv[i], "--runs") == 0) runs = std::atoi(argv[i + 1]);
    if (std::strcmp(argv[i], "--seconds") == 0) seconds = std::atof(argv[i + 1]);
  }
  if (runs < 1 || seconds <= 0) {
    std::fprintf(stderr, "usage: qel_detection_bench [--runs N] [--seconds S]\n");
    return 2;
  }
  std::printf("detection, %d runs a protocol, each scale at its own line\n", runs);
  Detection(runs);
  std::printf("\nCPU of this process while the stream engine polls, %.0f s each\n", seconds);
  PolledCpu(seconds);
  return 0;
}
