// Split and decode cost per frame for every protocol: a stream of sample records cut and
// decoded as a reader does, timed over several runs; the median run gives ns per frame.
#include <time.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "bench_stats.h"
#include "protocol.h"

namespace {

double NowNs() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<double>(ts.tv_sec) * 1e9 + static_cast<double>(ts.tv_nsec);
}

std::string WithChecksum(std::string record) {
  unsigned sum = 0;
  for (const char c : record) sum += static_cast<unsigned char>(c);
  record += static_cast<char>((128u - (sum & 0x7Fu)) & 0x7Fu);
  return record;
}

// A record each protocol's scales send, as the virtual scale sends it.
std::string SampleRecord(std::string_view id) {
  if (id == "qel") return "=432.100";
  if (id == "toledo-8217")
    return "\x02"
           "01.234\r";
  if (id == "toledo-continuous") return WithChecksum("\x02-0 001234000000\r");
  if (id == "mt-sics") return "S S      1.234 kg\r\n";
  if (id == "ad") return "ST,+0001.234  kg\r\n";
  if (id == "cas") return "ST,GS,+001.234 kg\r\n";
  if (id == "sma") return "\n 1G       1.234kg \r";
  if (id == "nci") return "\n   3.406kg\r\n10\r\x03";
  if (id == "cas-ecr") return "\x01\x02S 02.465kgd\x03\x04";
  if (id == "magellan") return "S14402465\r";
  return {};
}

// Cuts and decodes `stream` in reads of 255 bytes; returns the weights decoded.
std::size_t Run(const qel::Protocol& protocol, const std::string& stream) {
  std::string pending;
  std::size_t weights = 0;
  for (std::size_t at = 0; at < stream.size(); at += 255) {
    pending.append(stream, at, 255);
    std::string_view rest = pending;
    for (;;) {
      std::string_view frame;
      const std::size_t used = protocol.split(rest, frame);
      if (used == 0) break;
      if (!frame.empty() && protocol.decode(frame).kind == qel::ScaleFrame::Kind::kWeight) {
        ++weights;
      }
      rest.remove_prefix(used);
    }
    pending.erase(0, pending.size() - rest.size());
  }
  return weights;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 15;
  if (argc == 3 && std::strcmp(argv[1], "--runs") == 0) runs = std::atoi(argv[2]);
  if (runs < 1) {
    std::fprintf(stderr, "usage: qel_protocol_bench [--runs N]\n");
    return 2;
  }
  constexpr std::size_t kFrames = 20000;
  std::printf("%-18s %12s %12s %8s\n", "protocol", "median ns", "min ns", "frames");
  for (const qel::Protocol* protocol : qel::Protocols()) {
    const std::string record = SampleRecord(protocol->id);
    std::string stream;
    for (std::size_t i = 0; i < kFrames; ++i) stream += record;
    std::vector<double> per_frame;
    for (int run = 0; run < runs; ++run) {
      const double start = NowNs();
      const std::size_t weights = Run(*protocol, stream);
      const double elapsed = NowNs() - start;
      // The last record of a protocol that waits for one more byte stays pending.
      if (weights + 1 < kFrames) {
        std::fprintf(stderr, "%s: only %zu of %zu records decoded\n",
                     std::string(protocol->id).c_str(), weights, kFrames);
        return 1;
      }
      per_frame.push_back(elapsed / static_cast<double>(weights));
    }
    std::printf("%-18s %12.1f %12.1f %8zu\n", std::string(protocol->id).c_str(),
                qel::bench::Quantile(per_frame, 0.5), qel::bench::Quantile(per_frame, 0.0),
                kFrames);
  }
  return 0;
}
