// C interface of the Linux library: the platform's services handed to the driver handle.
#include "driver_handle.h"
#include "platform_services.h"
#include "posix_platform.h"
#include "qel_weigher/qel_weigher.h"

extern "C" {

QEL_API Qelscale* Qelscale_Create(void) { return qel::capi::Create(qel::PlatformServices()); }

QEL_API void Qelscale_Release(Qelscale* self) { qel::capi::Release(self); }

QEL_API const char* Qelscale_GetWeight_(Qelscale* self) { return qel::capi::GetWeight(self); }

QEL_API short Qelscale_OpenComPort_(Qelscale* self, const char* port) {
  return qel::capi::OpenComPort(self, port);
}

QEL_API void Qel_SetMessageHandler(QelMessageHandler handler, void* context) {
  qel::posix::SetMessageHandler(handler, context);
}

}  // extern "C"
