// Entry points of the in-process server.
#include <ole2.h>

#include "Qel_weigher.h"
#include "class_factory.h"
#include "module.h"
#include "platform.h"

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      qel::com::SetModule(instance);
      break;
    case DLL_THREAD_DETACH:
      qel::win32::ReleaseThreadLinkState();
      break;
    case DLL_PROCESS_DETACH:
      // At process exit (reserved != NULL) other threads are gone, possibly mid-call with a
      // lock held, and oleaut32 may already be unloaded: leave the memory to the system.
      if (reserved == nullptr) {
        qel::com::ReleaseCachedTypeInfo();
        qel::win32::ReleaseAllLinkStates();
      }
      break;
    default:
      break;
  }
  return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID riid, LPVOID* out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  IClassFactory* factory = qel::com::FactoryFor(clsid);
  if (!factory) return CLASS_E_CLASSNOTAVAILABLE;
  return factory->QueryInterface(riid, out);
}

STDAPI DllCanUnloadNow() { return qel::com::CanUnload() ? S_OK : S_FALSE; }
