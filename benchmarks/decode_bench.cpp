// Decoding one received buffer into a weight text, the work done per frame after a read.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstring>
#include <string>

#include "weight_decoding.h"

namespace {

// 255 bytes as a read returns them: the scale's stream, cut at an arbitrary place.
struct Buffer {
  Buffer() {
    const std::string stream = "32.100=432.100=432.100=432.100=432.100=432.100=432.100=432.1";
    std::string text;
    while (text.size() < 255) text += stream;
    std::memcpy(bytes, text.data(), 255);
  }
  std::uint8_t bytes[256] = {};
};

const qel::NumberFormat kComma{",", true};

void BM_DecodeAndFormat(benchmark::State& state) {
  const Buffer buffer;
  for (auto _ : state) {
    const std::string received = qel::ReceivedText(buffer.bytes, 255);
    std::string weight = qel::AcceptWeight(qel::ExtractWeightField(received), kComma);
    benchmark::DoNotOptimize(weight);
  }
}
BENCHMARK(BM_DecodeAndFormat);

void BM_ReceivedText(benchmark::State& state) {
  const Buffer buffer;
  for (auto _ : state) {
    std::string received = qel::ReceivedText(buffer.bytes, 255);
    benchmark::DoNotOptimize(received);
  }
}
BENCHMARK(BM_ReceivedText);

void BM_ExtractWeightField(benchmark::State& state) {
  const Buffer buffer;
  const std::string received = qel::ReceivedText(buffer.bytes, 255);
  for (auto _ : state) {
    auto candidate = qel::ExtractWeightField(received);
    benchmark::DoNotOptimize(candidate);
  }
}
BENCHMARK(BM_ExtractWeightField);

void BM_AcceptWeight(benchmark::State& state) {
  const std::optional<std::string> candidate = std::string("001,234");
  for (auto _ : state) {
    std::string weight = qel::AcceptWeight(candidate, kComma);
    benchmark::DoNotOptimize(weight);
  }
}
BENCHMARK(BM_AcceptWeight);

}  // namespace

BENCHMARK_MAIN();
