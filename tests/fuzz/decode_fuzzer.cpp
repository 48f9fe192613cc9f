// Feeds arbitrary received buffers through the whole decoding path. Beyond memory safety
// it checks the promises callers rely on: the result is "0" or a number with exactly three
// decimals, and a probe never fails where a weight was accepted.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "weight_decoding.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  std::uint8_t buffer[256] = {};
  const std::size_t n = size < 255 ? size : 255;
  for (std::size_t i = 0; i < n; ++i) buffer[i] = data[i];
  const std::string received = qel::ReceivedText(buffer, static_cast<std::int32_t>(n));
  if (received.size() < qel::kMinFrameText) return 0;

  const auto candidate = qel::ExtractWeightField(received);
  for (const qel::NumberFormat& format :
       {qel::NumberFormat{",", true}, qel::NumberFormat{".", false}}) {
    const std::string weight = qel::AcceptWeight(candidate, format);
    if (weight == qel::kNoReading) continue;
    if (!qel::AcceptProbe(candidate)) std::abort();
    const std::size_t separator = weight.rfind(format.decimal_separator);
    if (separator == std::string::npos || weight.size() - separator != 4) std::abort();
    if (weight[0] == '-') std::abort();
    for (std::size_t i = 0; i < weight.size(); ++i) {
      if (i != separator && (weight[i] < '0' || weight[i] > '9')) std::abort();
    }
  }
  return 0;
}
