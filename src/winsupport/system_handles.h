// Owners for the handles of the system's services that the weight service holds: an event
// log source, a device information set (SetupAPI) and memory the system allocated with
// LocalAlloc for us (CommandLineToArgvW's result).
#pragma once

#include <windows.h>
// After windows.h, which it needs.
#include <setupapi.h>

#include "unique_resource.h"

namespace qel::win {

// RegisterEventSource's handle: no source is NULL.
struct EventSourceTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type source) { ::DeregisterEventSource(source); }
};
using UniqueEventSource = UniqueResource<EventSourceTraits>;

// SetupDiGetClassDevs's set: none is INVALID_HANDLE_VALUE.
struct DevInfoTraits {
  using Type = HDEVINFO;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type set) { ::SetupDiDestroyDeviceInfoList(set); }
};
using UniqueDevInfo = UniqueResource<DevInfoTraits>;

// LocalAlloc'd memory the system handed us: none is NULL.
template <typename T>
struct LocalMemoryTraits {
  using Type = T*;
  static Type Invalid() { return nullptr; }
  static void Close(Type memory) { ::LocalFree(memory); }
};
template <typename T>
using UniqueLocal = UniqueResource<LocalMemoryTraits<T>>;

}  // namespace qel::win
