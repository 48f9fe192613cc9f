// C interface of the Linux library. Nothing thrown inside may cross it: a fault (out of
// memory, a conversion fault) ends the call with the "no reading" result.
#include <memory>
#include <string>

#include "platform_services.h"
#include "posix_platform.h"
#include "qel_weigher/qel_weigher.h"
#include "qelscale.h"

struct Qelscale {
  qel::Qelscale driver;
  std::string weight;  // keeps the last weight text alive for the caller
};

extern "C" {

QEL_API Qelscale* Qelscale_Create(void) {
  try {
    return std::make_unique<Qelscale>(Qelscale{qel::Qelscale(qel::PlatformServices()), {}})
        .release();
  } catch (...) {
    return nullptr;
  }
}

QEL_API void Qelscale_Release(Qelscale* self) { std::unique_ptr<Qelscale> owned(self); }

QEL_API const char* Qelscale_GetWeight_(Qelscale* self) {
  static const char kNoReading[] = "0";
  if (self == nullptr) return kNoReading;
  try {
    self->weight = self->driver.GetWeight_();
  } catch (...) {
    self->weight.assign(kNoReading);
  }
  return self->weight.c_str();
}

QEL_API short Qelscale_OpenComPort_(Qelscale* self, const char* port) {
  if (self == nullptr || port == nullptr) return 0;
  try {
    return self->driver.OpenComPort_(port) ? -1 : 0;
  } catch (...) {
    return 0;
  }
}

QEL_API void Qel_SetMessageHandler(QelMessageHandler handler, void* context) {
  qel::posix::SetMessageHandler(handler, context);
}

}  // extern "C"
