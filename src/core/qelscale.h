// The driver object clients create. It owns nothing: the chosen port lives in the
// LinkState of the thread the object lives on, shared by every object of that thread.
#pragma once

#include <cstdint>
#include <string>

#include "services.h"

namespace qel {

class Qelscale {
 public:
  // Sets the calling thread's port back to "COM1". The caller hands in the platform (each
  // platform library has an accessor for its own) or a fake.
  explicit Qelscale(Services& services);

  // The weight text: the accepted weight with three decimals, or "0".
  std::string GetWeight_();

  // Chooses `port` (kept even when the probe fails) and probes it: true when a frame with
  // a numeric weight arrives there.
  bool OpenComPort_(const std::string& port);

  static constexpr const char* kDefaultPort = "COM1";
  static constexpr std::uint32_t kSettleMs = 600;

 private:
  struct Acquisition {
    bool opened = false;
    std::string received;
  };
  Acquisition AcquireFrameText();

  Services& services_;
};

}  // namespace qel
