// Owners for the handles only the test clients hold: devices and kernel objects they open to
// provoke the driver, and the hook that answers message boxes. Each kind has its own "no
// handle" value (INVALID_HANDLE_VALUE for files and devices, NULL for the others).
#pragma once

#include <windows.h>

#include "unique_resource.h"

namespace qeltest {

// Files and devices: CreateFile reports failure as INVALID_HANDLE_VALUE.
struct HfileTraits {
  using Type = HANDLE;
  static Type Invalid() { return INVALID_HANDLE_VALUE; }
  static void Close(Type handle) { ::CloseHandle(handle); }
};
using UniqueHfile = qel::win::UniqueResource<HfileTraits>;

// Threads, events and other kernel objects: failure is NULL.
struct HandleTraits {
  using Type = HANDLE;
  static Type Invalid() { return nullptr; }
  static void Close(Type handle) { ::CloseHandle(handle); }
};
using UniqueHandle = qel::win::UniqueResource<HandleTraits>;

// A hook set with SetWindowsHookEx.
struct WindowsHookTraits {
  using Type = HHOOK;
  static Type Invalid() { return nullptr; }
  static void Close(Type hook) { ::UnhookWindowsHookEx(hook); }
};
using WindowsHook = qel::win::UniqueResource<WindowsHookTraits>;

}  // namespace qeltest
