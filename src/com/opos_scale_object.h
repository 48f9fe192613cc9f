// The Scale service object Qel_weigher.OposScale: the calls of a UnifiedPOS Control Object,
// made through IDispatch by name, handed to the portable opos::ScaleService; its events go
// back through the dispatch the Control Object passed to OpenService.
#pragma once

#include <ole2.h>

#include "com_resource.h"
#include "opos_service_host.h"
#include "scale_service.h"

namespace qel::com {

class OposScaleObject final : public IDispatch {
 public:
  explicit OposScaleObject(Services& services);
  ~OposScaleObject();
  OposScaleObject(const OposScaleObject&) = delete;
  OposScaleObject& operator=(const OposScaleObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch: by name only, as a Control Object calls; there is no type information.
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override;

 private:
  // One call with its arguments in the caller's order; sets `result`.
  HRESULT Call(DISPID id, VARIANT** args, VARIANT& result);
  HRESULT CallCommon(DISPID id, VARIANT** args, VARIANT& result);
  HRESULT CallProperty(DISPID id, VARIANT** args, VARIANT& result);
  HRESULT CallScale(DISPID id, VARIANT** args, VARIANT& result);
  // Hands queued events to the Control Object (from the message loop of our thread).
  void DeliverEvents();

  LONG refs_ = 1;
  win::ComPtr<IDispatch> control_;  // the Control Object, from OpenService to CloseService
  OposServiceHost host_;
  opos::ScaleService service_;  // after host_: stops its threads before the host goes
};

// Creates an object and hands out the requested interface; never throws.
HRESULT CreateOposScale(Services& services, REFIID riid, void** out);

}  // namespace qel::com
