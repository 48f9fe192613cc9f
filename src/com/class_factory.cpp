#include "class_factory.h"

#include "module.h"
#include "platform_services.h"
#include "qelscale_object.h"

namespace qel::com {

HRESULT QelscaleFactory::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG QelscaleFactory::AddRef() { return 2; }
ULONG QelscaleFactory::Release() { return 1; }

HRESULT QelscaleFactory::CreateInstance(IUnknown* outer, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return CreateQelscale(PlatformServices(), riid, out);
}

HRESULT QelscaleFactory::LockServer(BOOL lock) {
  com::LockServer(lock != FALSE);
  return S_OK;
}

IClassFactory* Factory() {
  static QelscaleFactory factory;
  return &factory;
}

}  // namespace qel::com
