#include "opos_scale_object.h"

#include <iterator>
#include <memory>
#include <new>
#include <string>

#include "Qel_weigher.h"
#include "module.h"
#include "opos_constants.h"
#include "wide_text.h"

namespace qel::com {
namespace {

using win::ComPtr;
using win::UniqueVariant;

// The members of _OposScale as Qel_weigher.idl numbers them, with their argument counts.
enum Member : DISPID {
  kOpenService = 1,
  kCloseService,
  kCheckHealth,
  kClaimDevice,
  kReleaseDevice,
  kClearInput,
  kClearInputProperties,
  kDirectIO,
  kFreezeEvents,
  kGetPropertyNumber,
  kSetPropertyNumber,
  kGetPropertyString,
  kSetPropertyString,
  kReadWeight,
  kZeroScale,
  kDisplayText,
  kResetStatistics,
  kRetrieveStatistics,
  kUpdateStatistics,
  kCompareFirmwareVersion,
  kUpdateFirmware,
  // Later Scale methods for price computing and special tares, which the scales read here
  // do not have: named so a Control Object of that version gets OPOS_E_ILLEGAL from them.
  kLaterScaleMethod = 100,
};

// Any number of arguments (the later methods, whose arguments are not looked at).
constexpr UINT kAnyArgs = ~0u;

struct MemberName {
  const wchar_t* name;
  DISPID id;
  UINT args;
};

constexpr MemberName kMembers[] = {
    {L"OpenService", kOpenService, 3},
    {L"CloseService", kCloseService, 0},
    {L"CheckHealth", kCheckHealth, 1},
    {L"ClaimDevice", kClaimDevice, 1},
    {L"ReleaseDevice", kReleaseDevice, 0},
    {L"ClearInput", kClearInput, 0},
    {L"ClearInputProperties", kClearInputProperties, 0},
    {L"DirectIO", kDirectIO, 3},
    {L"COFreezeEvents", kFreezeEvents, 1},
    {L"GetPropertyNumber", kGetPropertyNumber, 1},
    {L"SetPropertyNumber", kSetPropertyNumber, 2},
    {L"GetPropertyString", kGetPropertyString, 1},
    {L"SetPropertyString", kSetPropertyString, 2},
    {L"ReadWeight", kReadWeight, 2},
    {L"ZeroScale", kZeroScale, 0},
    {L"DisplayText", kDisplayText, 1},
    {L"ResetStatistics", kResetStatistics, 1},
    {L"RetrieveStatistics", kRetrieveStatistics, 1},
    {L"UpdateStatistics", kUpdateStatistics, 1},
    {L"CompareFirmwareVersion", kCompareFirmwareVersion, 2},
    {L"UpdateFirmware", kUpdateFirmware, 1},
    {L"DoPriceCalculating", kLaterScaleMethod, kAnyArgs},
    {L"FreezeValue", kLaterScaleMethod, kAnyArgs},
    {L"ReadLiveWeightWithTare", kLaterScaleMethod, kAnyArgs},
    {L"SetPriceCalculationMode", kLaterScaleMethod, kAnyArgs},
    {L"SetSpecialTare", kLaterScaleMethod, kAnyArgs},
    {L"SetTarePriority", kLaterScaleMethod, kAnyArgs},
    {L"SetTarePrioity", kLaterScaleMethod, kAnyArgs},  // as some headers spell it
    {L"SetUnitPriceWithWeightUnit", kLaterScaleMethod, kAnyArgs},
};

const MemberName* FindMember(DISPID id) {
  for (const MemberName& member : kMembers) {
    if (member.id == id) return &member;
  }
  return nullptr;
}

// The value of an argument passed by value or by reference.
HRESULT Coerced(const VARIANT& arg, VARTYPE type, UniqueVariant& out) {
  UniqueVariant plain;
  HRESULT hr = ::VariantCopyInd(plain.get(), const_cast<VARIANT*>(&arg));
  if (FAILED(hr)) return hr;
  if (V_VT(plain.get()) == (VT_VARIANT | VT_BYREF)) return DISP_E_TYPEMISMATCH;
  return ::VariantChangeType(out.get(), plain.get(), 0, type);
}

HRESULT LongArg(const VARIANT& arg, std::int32_t& value) {
  UniqueVariant coerced;
  const HRESULT hr = Coerced(arg, VT_I4, coerced);
  if (SUCCEEDED(hr)) value = V_I4(coerced.get());
  return hr;
}

HRESULT TextArg(const VARIANT& arg, std::string& value) {
  UniqueVariant coerced;
  const HRESULT hr = Coerced(arg, VT_BSTR, coerced);
  if (FAILED(hr)) return hr;
  const BSTR text = V_BSTR(coerced.get());
  value = win::WideToUtf8(text ? std::wstring_view(text, ::SysStringLen(text)) : L"");
  return S_OK;
}

// A long out-parameter: a reference to a long, or to a VARIANT (script callers).
HRESULT SetLongOut(VARIANT& arg, std::int32_t value) {
  if (V_VT(&arg) == (VT_I4 | VT_BYREF) && V_I4REF(&arg)) {
    *V_I4REF(&arg) = value;
    return S_OK;
  }
  if (V_VT(&arg) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&arg)) {
    VARIANT* inner = V_VARIANTREF(&arg);
    ::VariantClear(inner);
    V_VT(inner) = VT_I4;
    V_I4(inner) = value;
    return S_OK;
  }
  return DISP_E_TYPEMISMATCH;
}

HRESULT DispatchArg(const VARIANT& arg, ComPtr<IDispatch>& out) {
  UniqueVariant plain;
  const HRESULT hr = ::VariantCopyInd(plain.get(), const_cast<VARIANT*>(&arg));
  if (FAILED(hr)) return hr;
  IUnknown* unknown = nullptr;
  if (V_VT(plain.get()) == VT_DISPATCH) unknown = V_DISPATCH(plain.get());
  if (V_VT(plain.get()) == VT_UNKNOWN) unknown = V_UNKNOWN(plain.get());
  if (!unknown) return V_VT(plain.get()) == VT_EMPTY ? S_OK : DISP_E_TYPEMISMATCH;
  return unknown->QueryInterface(IID_IDispatch, out.put_void());
}

void SetLong(VARIANT& result, std::int32_t value) {
  V_VT(&result) = VT_I4;
  V_I4(&result) = value;
}

// The Control Object's event methods, called by name on its dispatch.
class ControlEvents final : public opos::EventTarget {
 public:
  explicit ControlEvents(IDispatch* control) : control_(control) {}

  void Data(std::int32_t status) override {
    VARIANT args[1];
    SetLong(args[0], status);
    Call(L"SOData", args, 1);
  }
  std::int32_t Error(std::int32_t result, std::int32_t extended, std::int32_t locus,
                     std::int32_t response) override {
    LONG chosen = response;
    VARIANT args[4];  // last argument first
    V_VT(&args[0]) = VT_I4 | VT_BYREF;
    V_I4REF(&args[0]) = &chosen;
    SetLong(args[1], locus);
    SetLong(args[2], extended);
    SetLong(args[3], result);
    Call(L"SOError", args, 4);
    return chosen;
  }
  void StatusUpdate(std::int32_t status) override {
    VARIANT args[1];
    SetLong(args[0], status);
    Call(L"SOStatusUpdate", args, 1);
  }

 private:
  void Call(const wchar_t* name, VARIANT* args, UINT count) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (FAILED(control_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return;
    DISPPARAMS params{args, nullptr, count, 0};
    UniqueVariant ignored;
    // What the application's handler does with its event is its own business.
    control_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, ignored.get(),
                     nullptr, nullptr);
  }

  IDispatch* control_;
};

}  // namespace

OposScaleObject::OposScaleObject(Services& services)
    : host_(services, [this] { DeliverEvents(); }), service_(host_) {
  ObjectCreated();
}

OposScaleObject::~OposScaleObject() { ObjectDestroyed(); }

HRESULT OposScaleObject::QueryInterface(REFIID riid, void** out) {
  if (!out) return E_POINTER;
  if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
      IsEqualIID(riid, DIID__OposScale)) {
    *out = static_cast<IDispatch*>(this);
    AddRef();
    return S_OK;
  }
  *out = nullptr;
  return E_NOINTERFACE;
}

ULONG OposScaleObject::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

ULONG OposScaleObject::Release() {
  const LONG refs = ::InterlockedDecrement(&refs_);
  if (refs == 0) std::unique_ptr<OposScaleObject> last(this);
  return static_cast<ULONG>(refs);
}

HRESULT OposScaleObject::GetTypeInfoCount(UINT* count) {
  if (!count) return E_POINTER;
  *count = 0;
  return S_OK;
}

HRESULT OposScaleObject::GetTypeInfo(UINT, LCID, ITypeInfo** info) {
  if (!info) return E_POINTER;
  *info = nullptr;
  return DISP_E_BADINDEX;
}

HRESULT OposScaleObject::GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                                       DISPID* ids) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  if (count == 0) return S_OK;
  if (!names || !ids) return E_POINTER;
  HRESULT hr = S_OK;
  for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
  for (const MemberName& member : kMembers) {
    if (names[0] && ::CompareStringOrdinal(names[0], -1, member.name, -1, TRUE) == CSTR_EQUAL) {
      ids[0] = member.id;
    }
  }
  if (ids[0] == DISPID_UNKNOWN || count > 1) hr = DISP_E_UNKNOWNNAME;  // no named arguments
  return hr;
}

HRESULT OposScaleObject::Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO*, UINT* arg_error) {
  if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
  const MemberName* member = FindMember(id);
  if (!member || !(flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET))) {
    return DISP_E_MEMBERNOTFOUND;
  }
  if (!params || (params->cArgs > 0 && !params->rgvarg)) return E_INVALIDARG;
  if (params->cNamedArgs != 0) return DISP_E_NONAMEDARGS;
  if (member->args != kAnyArgs && params->cArgs != member->args) return DISP_E_BADPARAMCOUNT;
  VARIANT* args[3] = {};
  // Only the members with a fixed count look at their arguments, and they take 3 at most.
  for (UINT i = 0; i < params->cArgs && i < 3; ++i) {
    args[i] = &params->rgvarg[params->cArgs - 1 - i];
  }
  UniqueVariant value;
  // The Control Object may let go of us from inside an event handler.
  AddRef();
  HRESULT hr = E_UNEXPECTED;
  try {
    hr = Call(id, args, *value.get());
  } catch (const std::bad_alloc&) {
    hr = E_OUTOFMEMORY;
  } catch (...) {
    hr = E_UNEXPECTED;
  }
  Release();
  if (FAILED(hr)) {
    if (arg_error) *arg_error = 0;
    return hr;
  }
  if (result) {
    ::VariantInit(result);
    *result = *value.get();
    V_VT(value.get()) = VT_EMPTY;  // handed over
  }
  return S_OK;
}

HRESULT OposScaleObject::Call(DISPID id, VARIANT** args, VARIANT& result) {
  switch (id) {
    case kGetPropertyNumber:
    case kSetPropertyNumber:
    case kGetPropertyString:
    case kSetPropertyString:
      return CallProperty(id, args, result);
    case kReadWeight:
    case kZeroScale:
    case kDisplayText:
      return CallScale(id, args, result);
    default:
      return CallCommon(id, args, result);
  }
}

HRESULT OposScaleObject::CallCommon(DISPID id, VARIANT** args, VARIANT& result) {
  std::int32_t number = 0;
  switch (id) {
    case kOpenService: {
      std::string device_class, device_name;
      ComPtr<IDispatch> control;
      HRESULT hr = TextArg(*args[0], device_class);
      if (SUCCEEDED(hr)) hr = TextArg(*args[1], device_name);
      if (SUCCEEDED(hr)) hr = DispatchArg(*args[2], control);
      if (FAILED(hr)) return hr;
      const std::int32_t opened = service_.Open(device_class, device_name);
      if (opened == opos::kSuccess) control_ = std::move(control);
      SetLong(result, opened);
      return S_OK;
    }
    case kCloseService:
      SetLong(result, service_.Close());
      control_ = nullptr;
      return S_OK;
    case kCheckHealth:
    case kClaimDevice:
    case kFreezeEvents: {
      const HRESULT hr = LongArg(*args[0], number);
      if (FAILED(hr)) return hr;
      SetLong(result, id == kCheckHealth   ? service_.CheckHealth(number)
                      : id == kClaimDevice ? service_.ClaimDevice(number)
                                           : service_.FreezeEvents(number != 0));
      return S_OK;
    }
    case kReleaseDevice:
      SetLong(result, service_.ReleaseDevice());
      return S_OK;
    case kClearInput:
      SetLong(result, service_.ClearInput());
      return S_OK;
    case kClearInputProperties:
      SetLong(result, service_.ClearInputProperties());
      return S_OK;
    default:
      // DirectIO has no commands here; statistics and firmware are not kept.
      SetLong(result, service_.Unsupported());
      return S_OK;
  }
}

HRESULT OposScaleObject::CallProperty(DISPID id, VARIANT** args, VARIANT& result) {
  std::int32_t index = 0;
  HRESULT hr = LongArg(*args[0], index);
  if (FAILED(hr)) return hr;
  if (id == kGetPropertyNumber) {
    SetLong(result, service_.GetNumber(index));
  } else if (id == kSetPropertyNumber) {
    std::int32_t number = 0;
    hr = LongArg(*args[1], number);
    if (FAILED(hr)) return hr;
    service_.SetNumber(index, number);
  } else if (id == kGetPropertyString) {
    const std::wstring text = win::Utf8ToWide(service_.GetString(index));
    V_BSTR(&result) = ::SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    if (!V_BSTR(&result)) return E_OUTOFMEMORY;
    V_VT(&result) = VT_BSTR;
  } else {
    std::string text;
    hr = TextArg(*args[1], text);
    if (FAILED(hr)) return hr;
    service_.SetString(index, text);
  }
  return S_OK;
}

HRESULT OposScaleObject::CallScale(DISPID id, VARIANT** args, VARIANT& result) {
  if (id == kZeroScale) {
    SetLong(result, service_.ZeroScale());
  } else if (id == kDisplayText) {
    SetLong(result, service_.Unsupported());  // no display on the scales read here
  } else {
    std::int32_t timeout = 0;
    const HRESULT hr = LongArg(*args[1], timeout);
    if (FAILED(hr)) return hr;
    std::int32_t weight = 0;
    const std::int32_t read = service_.ReadWeight(weight, timeout);
    const HRESULT set = SetLongOut(*args[0], weight);
    if (FAILED(set)) return set;
    SetLong(result, read);
  }
  return S_OK;
}

void OposScaleObject::DeliverEvents() {
  if (!control_) return;
  AddRef();
  // Our own reference: a handler may close the service and drop the Control Object.
  const ComPtr<IDispatch> control = control_;
  ControlEvents events(control.get());
  service_.DeliverEvents(events);
  Release();
}

HRESULT CreateOposScale(Services& services, REFIID riid, void** out) {
  return CreateObject<OposScaleObject>(riid, out, services);
}

}  // namespace qel::com
