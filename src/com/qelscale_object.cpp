#include "qelscale_object.h"

#include <memory>
#include <new>
#include <string>

#include "call_reference.h"
#include "com_resource.h"
#include "module.h"
#include "runtime_fault.h"
#include "wide_text.h"

namespace qel::com {
namespace {

using win::ComPtr;
using win::UniqueBstr;
using win::UniqueVariant;

struct Fault {
  HRESULT hr = S_OK;
  std::wstring description;
};

std::wstring WideOrEmpty(const char* text) noexcept {
  try {
    return win::Utf8ToWide(text);
  } catch (...) {
    return {};
  }
}

// Runs one driver call; whatever it throws becomes an HRESULT and a description, because no
// exception may cross the COM boundary.
template <typename Call>
HRESULT Guarded(Call&& call, Fault& fault) noexcept {
  try {
    call();
    return S_OK;
  } catch (const qel::RuntimeFault& e) {
    fault = {kRuntimeFault, WideOrEmpty(e.what())};
  } catch (const std::bad_alloc&) {
    fault = {E_OUTOFMEMORY, WideOrEmpty("Out of memory")};
  } catch (const std::exception& e) {
    fault = {E_UNEXPECTED, WideOrEmpty(e.what())};
  } catch (...) {
    fault = {E_UNEXPECTED, WideOrEmpty("Unexpected failure")};
  }
  return fault.hr;
}

// Early binding: the description travels in the thread's error object.
HRESULT WithErrorInfo(HRESULT hr, const Fault& fault) {
  if (SUCCEEDED(hr)) return hr;
  ComPtr<ICreateErrorInfo> create;
  if (SUCCEEDED(::CreateErrorInfo(create.put()))) {
    create->SetGUID(IID__Qelscale);
    create->SetSource(const_cast<LPOLESTR>(QEL_PROGID));
    create->SetDescription(const_cast<LPOLESTR>(fault.description.c_str()));
    ComPtr<IErrorInfo> info;
    if (SUCCEEDED(create.as(info))) ::SetErrorInfo(0, info.get());
  }
  return hr;
}

// Late binding: the description travels in the caller's EXCEPINFO.
HRESULT WithExcepInfo(HRESULT hr, const Fault& fault, EXCEPINFO* exception) {
  if (SUCCEEDED(hr) || !exception) return hr;
  *exception = EXCEPINFO{};
  exception->bstrSource = ::SysAllocString(QEL_PROGID);
  exception->bstrDescription =
      ::SysAllocStringLen(fault.description.data(), static_cast<UINT>(fault.description.size()));
  exception->scode = hr;
  return DISP_E_EXCEPTION;
}

HRESULT Weigh(qel::Qelscale& scale, BSTR* weight, Fault& fault) {
  *weight = nullptr;
  UniqueBstr text;
  const HRESULT hr = Guarded(
      [&] {
        const std::wstring wide = win::Utf8ToWide(scale.GetWeight_());
        text = UniqueBstr(wide);
        if (!text.get()) throw std::bad_alloc();
      },
      fault);
  if (SUCCEEDED(hr)) *weight = text.detach();
  return hr;
}

HRESULT Probe(qel::Qelscale& scale, std::wstring_view port, VARIANT_BOOL* found, Fault& fault) {
  *found = VARIANT_FALSE;
  bool answered = false;
  const HRESULT hr = Guarded([&] { answered = scale.OpenComPort_(win::WideToUtf8(port)); }, fault);
  if (SUCCEEDED(hr)) *found = answered ? VARIANT_TRUE : VARIANT_FALSE;
  return hr;
}

bool SameName(const wchar_t* name, const wchar_t* expected) {
  // Automation names are case-insensitive.
  return name && ::CompareStringOrdinal(name, -1, expected, -1, TRUE) == CSTR_EQUAL;
}

// Views a BSTR held in any of the forms automation clients pass for a string argument.
// False: the variant holds no string.
bool StringArgument(const VARIANT& arg, std::wstring_view& out) {
  auto view = [](BSTR text) {
    return text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
  };
  switch (V_VT(&arg)) {
    case VT_BSTR:
      out = view(V_BSTR(&arg));
      return true;
    case VT_BSTR | VT_BYREF:
      if (!V_BSTRREF(&arg)) return false;
      out = view(*V_BSTRREF(&arg));
      return true;
    case VT_VARIANT | VT_BYREF: {
      // What script engines pass for a variable: a reference to the variable's own VARIANT.
      const VARIANT* inner = V_VARIANTREF(&arg);
      if (!inner || V_VT(inner) == (VT_VARIANT | VT_BYREF)) return false;
      return StringArgument(*inner, out);
    }
    default:
      return false;
  }
}

// The one argument of OpenComPort_, positional or named "port" (DISPID 0 by
// GetIDsOfNames), as the standard dispatch takes it: a string as it stands, by value or by
// reference; any other type by value coerced to a string; nothing else.
HRESULT PortArgument(const DISPPARAMS& params, std::wstring_view& port, UniqueVariant& coerced) {
  if (params.cNamedArgs == 1 && params.rgdispidNamedArgs[0] != 0) return DISP_E_PARAMNOTFOUND;
  const VARIANT& arg = params.rgvarg[0];
  if (StringArgument(arg, port)) return S_OK;
  if (V_VT(&arg) & VT_BYREF) return DISP_E_TYPEMISMATCH;
  const HRESULT hr = ::VariantChangeType(coerced.get(), const_cast<VARIANT*>(&arg), 0, VT_BSTR);
  if (FAILED(hr)) return hr;
  return StringArgument(*coerced, port) ? S_OK : DISP_E_TYPEMISMATCH;
}

}  // namespace

QelscaleObject::QelscaleObject(Services& services) : scale_(services) { ObjectCreated(); }

QelscaleObject::~QelscaleObject() { ObjectDestroyed(); }

HRESULT QelscaleObject::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, IID__Qelscale)) {
    *out = static_cast<_Qelscale*>(this);
  } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
    *out = static_cast<ISupportErrorInfo*>(this);
  } else {
    *out = nullptr;
    return E_NOINTERFACE;
  }
  AddRef();
  return S_OK;
}

ULONG QelscaleObject::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

ULONG QelscaleObject::Release() {
  const LONG refs = ::InterlockedDecrement(&refs_);
  if (refs == 0) std::unique_ptr<QelscaleObject> last(this);
  return static_cast<ULONG>(refs);
}

HRESULT QelscaleObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 1;
  return S_OK;
}

HRESULT QelscaleObject::GetTypeInfo(UINT index, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  if (index != 0) return DISP_E_BADINDEX;
  return CachedTypeInfo(TypeId::kQelscale, info);
}

HRESULT QelscaleObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;

  HRESULT hr = S_OK;
  if (SameName(names[0], L"GetWeight_")) {
    ids[0] = DISPID_QELSCALE_GETWEIGHT;
  } else if (SameName(names[0], L"OpenComPort_")) {
    ids[0] = DISPID_QELSCALE_OPENCOMPORT;
    // Its one parameter, by name, as often as it is asked for.
    for (UINT i = 1; i < count; ++i) {
      if (SameName(names[i], L"port")) ids[i] = 0;
    }
  } else {
    return DISP_E_UNKNOWNNAME;
  }
  for (UINT i = 1; i < count; ++i) {
    if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
  }
  return hr;
}

// Dispatched by hand rather than through the type library, and otherwise answering as the
// type library's standard dispatch does: script engines pass a variable as
// VT_VARIANT|VT_BYREF, which standard dispatch refuses for a BSTR* parameter.
HRESULT QelscaleObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                               VARIANT* result, EXCEPINFO* exception, UINT* arg_error) {
  const HRESULT checked = CheckInvoke(id, riid, flags, params);
  if (FAILED(checked)) return checked;
  if (result) ::VariantInit(result);
  if (id == DISPID_QELSCALE_GETWEIGHT) return InvokeGetWeight(*params, result, exception);
  return InvokeOpenComPort(*params, result, exception, arg_error);
}

// What the standard dispatch refuses before it looks at the arguments.
HRESULT QelscaleObject::CheckInvoke(DISPID id, REFIID riid, WORD flags, const DISPPARAMS* params) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (id != DISPID_QELSCALE_GETWEIGHT && id != DISPID_QELSCALE_OPENCOMPORT) {
    return DISP_E_MEMBERNOTFOUND;
  }
  if (!(flags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
  if (!params) return E_INVALIDARG;
  if (params->cArgs > 0 && !params->rgvarg) return E_INVALIDARG;
  if (params->cNamedArgs > params->cArgs ||
      (params->cNamedArgs > 0 && !params->rgdispidNamedArgs)) {
    return E_INVALIDARG;
  }
  return S_OK;
}

HRESULT QelscaleObject::InvokeGetWeight(const DISPPARAMS& params, VARIANT* result,
                                        EXCEPINFO* exception) {
  if (params.cArgs != 0) return DISP_E_BADPARAMCOUNT;
  const CallReference<QelscaleObject> hold(*this);
  Fault fault;
  BSTR weight = nullptr;
  const HRESULT hr = Weigh(scale_, &weight, fault);
  if (FAILED(hr)) return WithExcepInfo(hr, fault, exception);
  if (result) {
    V_VT(result) = VT_BSTR;
    V_BSTR(result) = weight;
  } else {
    ::SysFreeString(weight);
  }
  return S_OK;
}

HRESULT QelscaleObject::InvokeOpenComPort(const DISPPARAMS& params, VARIANT* result,
                                          EXCEPINFO* exception, UINT* arg_error) {
  if (params.cArgs != 1) return DISP_E_BADPARAMCOUNT;
  std::wstring_view port;
  UniqueVariant coerced;
  const HRESULT taken = PortArgument(params, port, coerced);
  if (FAILED(taken)) {
    if (arg_error) *arg_error = 0;
    return taken;
  }
  const CallReference<QelscaleObject> hold(*this);
  Fault fault;
  VARIANT_BOOL found = VARIANT_FALSE;
  // The view points into the caller's argument or its coerced copy, which both stay put
  // for the whole call.
  const HRESULT hr = Probe(scale_, port, &found, fault);
  if (FAILED(hr)) return WithExcepInfo(hr, fault, exception);
  if (result) {
    V_VT(result) = VT_BOOL;
    V_BOOL(result) = found;
  }
  return S_OK;
}

HRESULT QelscaleObject::GetWeight_(BSTR* weight) {
  if (!weight) return E_POINTER;
  const CallReference<QelscaleObject> hold(*this);
  Fault fault;
  return WithErrorInfo(Weigh(scale_, weight, fault), fault);
}

HRESULT QelscaleObject::OpenComPort_(BSTR* port, VARIANT_BOOL* found) {
  if (!port || !found) return E_POINTER;
  const CallReference<QelscaleObject> hold(*this);
  Fault fault;
  const BSTR text = *port;
  const std::wstring_view name =
      text ? std::wstring_view(text, ::SysStringLen(text)) : std::wstring_view();
  return WithErrorInfo(Probe(scale_, name, found, fault), fault);
}

HRESULT QelscaleObject::InterfaceSupportsErrorInfo(REFIID riid) {
  return IsEqualIID(riid, IID__Qelscale) ? S_OK : S_FALSE;
}

HRESULT CreateQelscale(Services& services, REFIID riid, void** out) {
  return CreateObject<QelscaleObject>(riid, out, services);
}

}  // namespace qel::com
