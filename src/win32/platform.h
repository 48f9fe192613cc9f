// The Windows implementations of the driver's seams (services.h), plus the hooks the DLL
// entry point must call so that per-thread link states never outlive the library.
#pragma once

#include <windows.h>

#include "link_state.h"

namespace qel::win32 {

// The DCB handed to SetCommState, filled field by field from the portable mirror.
DCB ToDcb(const LineSettings& settings);
COMMTIMEOUTS ToCommTimeouts(const CommTimeouts& timeouts);

// DLL_THREAD_DETACH: frees the calling thread's link state, if it has one.
void ReleaseThreadLinkState();
// DLL_PROCESS_DETACH on FreeLibrary: frees the states of threads that are still running
// (they get no DLL_THREAD_DETACH from an unloaded library) and the TLS slot.
void ReleaseAllLinkStates();

}  // namespace qel::win32
