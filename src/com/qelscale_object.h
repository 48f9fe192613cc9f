// The Qelscale automation object: the dual interface _Qelscale around qel::Qelscale.
#pragma once

#include <ole2.h>

#include "Qel_weigher.h"
#include "qelscale.h"

namespace qel::com {

// HRESULT of a conversion fault raised inside a method (the driver's only raised error).
inline constexpr HRESULT kRuntimeFault = MAKE_HRESULT(SEVERITY_ERROR, FACILITY_ITF, 0x0201);

class QelscaleObject final : public _Qelscale, public ISupportErrorInfo {
 public:
  // Runs the creation step of the driver: the calling thread's port becomes "COM1".
  explicit QelscaleObject(Services& services);
  ~QelscaleObject();
  QelscaleObject(const QelscaleObject&) = delete;
  QelscaleObject& operator=(const QelscaleObject&) = delete;

  // IUnknown
  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override;
  ULONG STDMETHODCALLTYPE AddRef() override;
  ULONG STDMETHODCALLTYPE Release() override;

  // IDispatch
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override;
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT index, LCID lcid, ITypeInfo** info) override;
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID lcid,
                                          DISPID* ids) override;
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID riid, LCID lcid, WORD flags,
                                   DISPPARAMS* params, VARIANT* result, EXCEPINFO* exception,
                                   UINT* arg_error) override;

  // _Qelscale
  HRESULT STDMETHODCALLTYPE GetWeight_(BSTR* weight) override;
  HRESULT STDMETHODCALLTYPE OpenComPort_(BSTR* port, VARIANT_BOOL* found) override;

  // ISupportErrorInfo
  HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) override;

 private:
  // Steps of Invoke: the checks before the arguments, then each method.
  static HRESULT CheckInvoke(DISPID id, REFIID riid, WORD flags, const DISPPARAMS* params);
  HRESULT InvokeGetWeight(const DISPPARAMS& params, VARIANT* result, EXCEPINFO* exception);
  HRESULT InvokeOpenComPort(const DISPPARAMS& params, VARIANT* result, EXCEPINFO* exception,
                            UINT* arg_error);

  LONG refs_ = 1;
  qel::Qelscale scale_;
};

// Creates an object and hands out the requested interface; never throws.
HRESULT CreateQelscale(Services& services, REFIID riid, void** out);

}  // namespace qel::com
