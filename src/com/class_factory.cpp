#include "class_factory.h"

#include "Qel_weigher.h"
#include "module.h"
#include "opos_scale_object.h"
#include "platform_services.h"
#include "qelscale_object.h"

namespace qel::com {

HRESULT ClassFactory::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
    *out = static_cast<IClassFactory*>(this);
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG ClassFactory::AddRef() { return 2; }
ULONG ClassFactory::Release() { return 1; }

HRESULT ClassFactory::CreateInstance(IUnknown* outer, REFIID riid, void** out) {
  if (!out) return E_POINTER;
  *out = nullptr;
  if (outer) return CLASS_E_NOAGGREGATION;
  return create_(riid, out);
}

HRESULT ClassFactory::LockServer(BOOL lock) {
  com::LockServer(lock != FALSE);
  return S_OK;
}

IClassFactory* FactoryFor(REFCLSID clsid) {
  static ClassFactory qelscale(
      [](REFIID riid, void** out) { return CreateQelscale(PlatformServices(), riid, out); });
  static ClassFactory opos_scale(
      [](REFIID riid, void** out) { return CreateOposScale(PlatformServices(), riid, out); });
  if (IsEqualCLSID(clsid, CLSID_Qelscale)) return &qelscale;
  if (IsEqualCLSID(clsid, CLSID_OposScale)) return &opos_scale;
  return nullptr;
}

}  // namespace qel::com
