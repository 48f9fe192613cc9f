// Nothing thrown inside may cross the C interface: a fault (out of memory, a conversion
// fault) ends the call with the "no reading" result.
#include "driver_handle.h"

#include "call_reference.h"
#include "weight_decoding.h"

namespace qel::capi {

::Qelscale* Create(Services& services) {
  try {
    return new ::Qelscale(services);
  } catch (...) {
    return nullptr;
  }
}

void Release(::Qelscale* self) {
  if (self != nullptr) self->Release();
}

const char* GetWeight(::Qelscale* self) {
  static const std::string kNone(kNoReading);
  if (self == nullptr) return kNone.c_str();
  const CallReference<::Qelscale> hold(*self);
  try {
    self->weight = self->driver.GetWeight_();
  } catch (...) {
    self->weight = kNone;
  }
  if (self->refs.load() > 1) return self->weight.c_str();
  // The client let go of the object inside this call: the text must outlive it.
  thread_local std::string orphaned;
  orphaned = self->weight;
  return orphaned.c_str();
}

short OpenComPort(::Qelscale* self, const char* port) {
  if (self == nullptr || port == nullptr) return 0;
  const CallReference<::Qelscale> hold(*self);
  try {
    return self->driver.OpenComPort_(port) ? -1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace qel::capi
