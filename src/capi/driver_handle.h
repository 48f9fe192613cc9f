// The object behind the C interface's Qelscale*, on the seams of the core so that a test can
// hand it a fake platform. The extern "C" functions pass the platform's own services.
#pragma once

#include <atomic>
#include <string>

#include "qelscale.h"
#include "services.h"

struct Qelscale {
  explicit Qelscale(qel::Services& services) : driver(services) {}

  // Counted: the client holds one reference, and every call holds one while it runs, because
  // the client's message handler may release the object from inside the call.
  void AddRef() { ++refs; }
  void Release() {
    if (--refs == 0) delete this;
  }

  std::atomic<int> refs{1};
  qel::Qelscale driver;
  std::string weight;  // keeps the last weight text alive for the caller
};

namespace qel::capi {

// nullptr only when out of memory.
::Qelscale* Create(Services& services);
// Drops the client's reference; nullptr is ignored.
void Release(::Qelscale* self);
// The weight text. Owned by the object until its next call; when the client released the
// object during this call, owned by the calling thread until its next such call instead.
const char* GetWeight(::Qelscale* self);
// -1 when a frame with a numeric weight arrived on `port`, 0 otherwise.
short OpenComPort(::Qelscale* self, const char* port);

}  // namespace qel::capi
