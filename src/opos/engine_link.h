// The production DeviceLink: the core's stream engine on a thread of its own, holding the
// port from construction to destruction.
#pragma once

#include <memory>

#include "scale_service.h"
#include "services.h"

namespace qel::opos {

// Starts reading `settings.port` with the platform's `services`; nullptr when the port name
// does not parse. The engine's own messages are not shown: the service object reports
// through result codes and events, never through a box in the application's face.
std::unique_ptr<DeviceLink> StartEngineLink(Services& services, const DeviceSettings& settings,
                                            ServiceHost::Listener listener);

}  // namespace qel::opos
