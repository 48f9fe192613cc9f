// The driver object clients create. It owns nothing: the chosen port lives in the
// LinkState of the thread the object lives on, shared by every object of that thread.
#pragma once

#include <cstdint>
#include <string>

#include "reading.h"
#include "services.h"
#include "weight_decoding.h"

namespace qel {

class Qelscale {
 public:
  // Sets the calling thread's port back to "COM1". The caller hands in the platform (each
  // platform library has an accessor for its own) or a fake.
  explicit Qelscale(Services& services);

  // The weight text: the accepted weight with three decimals, or "0".
  std::string GetWeight_();

  // GetWeight_ with its outcome: the weight (text as GetWeight_ gives it) and, without one,
  // which step failed (kNoReading when the port answered with nothing to read as a weight).
  struct Weighing {
    DecodedWeight weight;
    ReadingError error = ReadingError::kNoReading;
  };
  Weighing Weigh();

  // Chooses `port` (kept even when the probe fails) and probes it: true when a frame with
  // a numeric weight arrives there.
  bool OpenComPort_(const std::string& port);

  static constexpr const char* kDefaultPort = "COM1";
  static constexpr std::uint32_t kSettleMs = 600;

 private:
  struct Acquisition {
    bool opened = false;
    ReadingError failure = ReadingError::kNone;
    std::string received;
  };
  Acquisition AcquireFrameText();

  Services& services_;
};

}  // namespace qel
