// The Windows event log, Application log, under the source "qelscaled" (which the MSI
// registers, with qelscaled.exe as its message file). Where a service run's log goes.
#pragma once

#include "log_sink.h"
#include "service_host.h"

namespace qeld {

// Every line as one event of the source; an error line as an error event.
LogOutput EventLogOutput();
// A message that ends a run: a refusal as an error event, anything else as information.
Hosting::Say EventLogSay();

}  // namespace qeld
