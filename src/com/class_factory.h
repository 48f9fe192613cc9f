// The one class factory of the library. It is a static object: its own references do not
// keep the library loaded, only LockServer does.
#pragma once

#include <ole2.h>

namespace qel::com {

class QelscaleFactory final : public IClassFactory {
 public:
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;
};

IClassFactory* Factory();

}  // namespace qel::com
