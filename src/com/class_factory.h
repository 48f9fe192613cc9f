// The class factories of the library, one per class. Each is a static object: its own
// references do not keep the library loaded, only LockServer does.
#pragma once

#include <ole2.h>

namespace qel::com {

class ClassFactory final : public IClassFactory {
 public:
  using Create = HRESULT (*)(REFIID riid, void** out);
  explicit ClassFactory(Create create) : create_(create) {}

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;
  HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* outer, REFIID riid, void** out) override;
  HRESULT STDMETHODCALLTYPE LockServer(BOOL lock) override;

 private:
  Create create_;
};

// The factory of `clsid`; nullptr for a class the library does not serve.
IClassFactory* FactoryFor(REFCLSID clsid);

}  // namespace qel::com
