// A C++ automation client of Qel_weigher.Qelscale, run under Wine against the virtual
// scale on COM3. Each scenario checks one area and exits non-zero on any failed check.
#include <ocidl.h>
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "Qel_weigher.h"
#include "check.h"
#include "com_resource.h"
#include "message_box_watch.h"
#include "test_handles.h"
#include "wide_text.h"

using qel::win::ComApartment;
using qel::win::ComPtr;
using qel::win::UniqueBstr;
using qel::win::UniqueVariant;
using qel::win::Utf8ToWide;

namespace {

HRESULT CreateScale(ComPtr<IDispatch>& out) {
  CLSID clsid;
  HRESULT hr = ::CLSIDFromProgID(QEL_PROGID, &clsid);
  if (FAILED(hr)) return hr;
  return ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, out.put_void());
}

// The helpers below check on the calling test's behalf: each takes its caller's place
// through the macro named after it (see check.h).
#define MUST_CREATE() MustCreate(QEL_HERE)
ComPtr<IDispatch> MustCreate(const qeltest::Where& at) {
  ComPtr<IDispatch> scale;
  const HRESULT hr = CreateScale(scale);
  CHECK_HR_AT(at, S_OK, hr);
  if (!scale) {
    std::printf("cannot create %s, giving up\n", qel::win::WideToUtf8(QEL_PROGID).c_str());
    std::exit(2);
  }
  return scale;
}

HRESULT Invoke(IDispatch* scale, DISPID id, std::vector<VARIANTARG> args, VARIANT* result,
               EXCEPINFO* exception = nullptr, std::vector<DISPID> named = {},
               WORD flags = DISPATCH_METHOD) {
  DISPPARAMS params{};
  std::reverse(args.begin(), args.end());  // automation passes arguments last first
  params.rgvarg = args.empty() ? nullptr : args.data();
  params.cArgs = static_cast<UINT>(args.size());
  params.rgdispidNamedArgs = named.empty() ? nullptr : named.data();
  params.cNamedArgs = static_cast<UINT>(named.size());
  UINT arg_error = 0;
  return scale->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, exception,
                       &arg_error);
}

// Arguments in the forms clients pass them; the callers keep what they point to alive.
VARIANTARG Arg(VARTYPE vt) {
  VARIANTARG arg;
  ::VariantInit(&arg);
  arg.vt = vt;
  return arg;
}
VARIANTARG StringArg(BSTR text) {
  VARIANTARG arg = Arg(VT_BSTR);
  arg.bstrVal = text;
  return arg;
}
VARIANTARG StringRefArg(BSTR* text) {
  VARIANTARG arg = Arg(VT_BSTR | VT_BYREF);
  arg.pbstrVal = text;
  return arg;
}
VARIANTARG VariantRefArg(VARIANT* variable) {
  VARIANTARG arg = Arg(VT_VARIANT | VT_BYREF);
  arg.pvarVal = variable;
  return arg;
}

#define LATE_WEIGHT(scale) LateWeight(QEL_HERE, scale)
std::wstring LateWeight(const qeltest::Where& at, IDispatch* scale) {
  UniqueVariant result;
  CHECK_HR_AT(at, S_OK, Invoke(scale, DISPID_QELSCALE_GETWEIGHT, {}, result.get()));
  CHECK_AT(at, result->vt == VT_BSTR);
  return result->vt == VT_BSTR ? std::wstring(result->bstrVal, ::SysStringLen(result->bstrVal))
                               : std::wstring();
}

// OpenComPort_ with `arg`: succeeds with a Boolean, and its answer.
#define PROBE_WITH(scale, ...) ProbeWith(QEL_HERE, scale, __VA_ARGS__)
bool ProbeWith(const qeltest::Where& at, IDispatch* scale, VARIANTARG arg,
               std::vector<DISPID> named = {}) {
  UniqueVariant result;
  CHECK_HR_AT(at, S_OK,
              Invoke(scale, DISPID_QELSCALE_OPENCOMPORT, {arg}, result.get(), nullptr, named));
  CHECK_AT(at, result->vt == VT_BOOL);
  CHECK_AT(at, result->boolVal == VARIANT_TRUE || result->boolVal == VARIANT_FALSE);
  return result->vt == VT_BOOL && result->boolVal == VARIANT_TRUE;
}

// Probe with the port as a plain BSTR.
#define LATE_PROBE(scale, port) LateProbe(QEL_HERE, scale, port)
bool LateProbe(const qeltest::Where& at, IDispatch* scale, const wchar_t* port) {
  UniqueBstr name{std::wstring_view(port)};
  return ProbeWith(at, scale, StringArg(name.get()));
}

// --- scenarios -------------------------------------------------------------------------

// Names, case-insensitive as automation names are, and the DISPIDs of the type library.
void CheckNames(IDispatch* scale) {
  struct NameCase {
    const wchar_t* name;
    DISPID id;
    HRESULT hr;
  };
  for (const NameCase& c : {NameCase{L"GetWeight_", DISPID_QELSCALE_GETWEIGHT, S_OK},
                            NameCase{L"OpenComPort_", DISPID_QELSCALE_OPENCOMPORT, S_OK},
                            NameCase{L"getweight_", DISPID_QELSCALE_GETWEIGHT, S_OK},
                            NameCase{L"OPENCOMPORT_", DISPID_QELSCALE_OPENCOMPORT, S_OK},
                            NameCase{L"GetWeight", DISPID_UNKNOWN, DISP_E_UNKNOWNNAME}}) {
    LPOLESTR name = const_cast<LPOLESTR>(c.name);
    DISPID id = 0;
    CHECK_HR(c.hr, scale->GetIDsOfNames(IID_NULL, &name, 1, LOCALE_USER_DEFAULT, &id));
    CHECK_HR(c.id, id);
  }
}

// Every form in which clients pass a string argument; the argument is never changed.
void CheckStringArgumentForms(IDispatch* scale, const UniqueBstr& port) {
  const BSTR original = port.get();
  CHECK(PROBE_WITH(scale, StringArg(port.get())));
  BSTR by_ref = port.get();
  CHECK(PROBE_WITH(scale, StringRefArg(&by_ref)));
  CHECK(by_ref == original);
  VARIANT variable = StringArg(port.get());  // what a script engine passes for a variable
  CHECK(PROBE_WITH(scale, VariantRefArg(&variable)));
  CHECK(variable.vt == VT_BSTR && variable.bstrVal == original);
  // VBA's scale.OpenComPort_ port:="COM3": the argument under its name.
  CHECK(PROBE_WITH(scale, StringArg(port.get()), {0}));
  CHECK(port.get() == original);
  CHECK_WSTR(L"COM3", port.view());
}

// Early binding through the dual interface gives what late binding gives.
void CheckEarlyBinding(const ComPtr<IDispatch>& scale, const UniqueBstr& port,
                       const std::wstring& expected_weight) {
  ComPtr<_Qelscale> early;
  CHECK_HR(S_OK, scale.as(early));
  if (early) {
    VARIANT_BOOL found = VARIANT_FALSE;
    BSTR in_out = port.get();
    CHECK_HR(S_OK, early->OpenComPort_(&in_out, &found));
    CHECK(found == VARIANT_TRUE);
    CHECK(in_out == port.get());
    UniqueBstr weight;
    CHECK_HR(S_OK, early->GetWeight_(weight.put()));
    CHECK_WSTR(expected_weight, weight.view());
    CHECK_HR(E_POINTER, early->GetWeight_(nullptr));
    CHECK_HR(E_POINTER, early->OpenComPort_(nullptr, &found));
  }
  CHECK_WSTR(expected_weight, LATE_WEIGHT(scale.get()));
}

// Malformed calls are refused without running the driver.
void CheckMalformedCalls(IDispatch* scale, BSTR port) {
  const DISPID get_weight = DISPID_QELSCALE_GETWEIGHT;
  const DISPID open_port = DISPID_QELSCALE_OPENCOMPORT;
  const VARIANTARG text = StringArg(port);
  LONG three = 3;
  VARIANTARG number_ref = Arg(VT_I4 | VT_BYREF);
  number_ref.plVal = &three;
  VARIANT empty_variable;
  ::VariantInit(&empty_variable);
  const VARIANTARG empty_ref = VariantRefArg(&empty_variable);
  UniqueVariant ignored;
  CHECK_HR(DISP_E_BADPARAMCOUNT, Invoke(scale, get_weight, {text}, ignored.get()));
  CHECK_HR(DISP_E_BADPARAMCOUNT, Invoke(scale, open_port, {}, ignored.get()));
  CHECK_HR(DISP_E_BADPARAMCOUNT, Invoke(scale, open_port, {text, text}, ignored.get()));
  CHECK_HR(DISP_E_PARAMNOTFOUND, Invoke(scale, open_port, {text}, ignored.get(), nullptr, {1}));
  CHECK_HR(DISP_E_MEMBERNOTFOUND, Invoke(scale, 42, {}, ignored.get()));
  CHECK_HR(DISP_E_MEMBERNOTFOUND, Invoke(scale, DISPID_VALUE, {}, ignored.get()));
  CHECK_HR(DISP_E_MEMBERNOTFOUND,
           Invoke(scale, get_weight, {}, ignored.get(), nullptr, {}, DISPATCH_PROPERTYPUT));
  CHECK_HR(DISP_E_TYPEMISMATCH, Invoke(scale, open_port, {number_ref}, ignored.get()));
  CHECK_HR(DISP_E_TYPEMISMATCH, Invoke(scale, open_port, {empty_ref}, ignored.get()));
  CHECK_HR(E_INVALIDARG, scale->Invoke(get_weight, IID_NULL, 0, DISPATCH_METHOD, nullptr,
                                       ignored.get(), nullptr, nullptr));
  CHECK_HR(DISP_E_UNKNOWNINTERFACE, scale->Invoke(get_weight, IID_IUnknown, 0, DISPATCH_METHOD,
                                                  nullptr, ignored.get(), nullptr, nullptr));
}

int Dispatch(const std::wstring& expected_weight) {
  ComApartment apartment;
  ComPtr<IDispatch> scale = MUST_CREATE();
  CheckNames(scale.get());
  const UniqueBstr port{std::wstring_view(L"COM3")};
  CheckStringArgumentForms(scale.get(), port);
  CheckEarlyBinding(scale, port, expected_weight);
  // No result wanted: the call still runs and nothing leaks.
  CHECK_HR(S_OK, Invoke(scale.get(), DISPID_QELSCALE_GETWEIGHT, {}, nullptr));
  CheckMalformedCalls(scale.get(), port.get());
  return qeltest::Failures();
}

using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
using GetClassObjectFn = HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**);

template <typename Fn>
Fn Export(HMODULE module, const char* name) {
  return module ? reinterpret_cast<Fn>(reinterpret_cast<void*>(::GetProcAddress(module, name)))
                : nullptr;
}

int Lifetime() {
  ComApartment apartment;
  CLSID clsid;
  CHECK_HR(S_OK, ::CLSIDFromProgID(QEL_PROGID, &clsid));
  CHECK(IsEqualCLSID(clsid, CLSID_Qelscale));

  IUnknown* raw = nullptr;
  CHECK_HR(S_OK, ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                    reinterpret_cast<void**>(&raw)));
  if (!raw) return qeltest::Failures() + 1;
  CHECK(raw->AddRef() == 2);
  CHECK(raw->Release() == 1);

  // What the object is, and what it is not.
  for (const IID& iid : {IID_IUnknown, IID_IDispatch, IID__Qelscale, IID_ISupportErrorInfo}) {
    void* out = nullptr;
    CHECK_HR(S_OK, raw->QueryInterface(iid, &out));
    if (out) static_cast<IUnknown*>(out)->Release();
  }
  for (const IID& iid : {IID_IConnectionPointContainer, IID_IProvideClassInfo, IID_IMarshal,
                         IID_IPersist, IID_IClassFactory}) {
    void* out = reinterpret_cast<void*>(1);
    CHECK_HR(E_NOINTERFACE, raw->QueryInterface(iid, &out));
    CHECK(out == nullptr);
  }
  CHECK_HR(E_POINTER, raw->QueryInterface(IID_IDispatch, nullptr));
  {
    ComPtr<ISupportErrorInfo> support;
    CHECK_HR(S_OK, raw->QueryInterface(IID_ISupportErrorInfo, support.put_void()));
    if (support) {
      CHECK_HR(S_OK, support->InterfaceSupportsErrorInfo(IID__Qelscale));
      CHECK_HR(S_FALSE, support->InterfaceSupportsErrorInfo(IID_IDispatch));
    }
  }

  const HMODULE library = ::GetModuleHandleW(L"Qel_weigher.dll");
  CHECK(library != nullptr);
  const auto can_unload = Export<CanUnloadFn>(library, "DllCanUnloadNow");
  const auto get_class = Export<GetClassObjectFn>(library, "DllGetClassObject");
  if (!can_unload || !get_class) return qeltest::Failures() + 1;

  CHECK_HR(S_FALSE, can_unload());  // one object alive
  CHECK(raw->Release() == 0);
  CHECK_HR(S_OK, can_unload());

  // Foreign classes are refused; the factory's locks keep the library.
  void* out = reinterpret_cast<void*>(1);
  CHECK_HR(CLASS_E_CLASSNOTAVAILABLE, get_class(IID_IDispatch, IID_IClassFactory, &out));
  CHECK(out == nullptr);
  ComPtr<IClassFactory> factory;
  CHECK_HR(S_OK, get_class(CLSID_Qelscale, IID_IClassFactory, factory.put_void()));
  if (factory) {
    CHECK_HR(S_OK, factory->LockServer(TRUE));
    CHECK_HR(S_FALSE, can_unload());
    CHECK_HR(S_OK, factory->LockServer(FALSE));
    CHECK_HR(S_OK, can_unload());
    ComPtr<IUnknown> outer;
    CHECK_HR(S_OK, ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                                      outer.put_void()));
    ComPtr<IUnknown> aggregated;
    CHECK_HR(CLASS_E_NOAGGREGATION,
             factory->CreateInstance(outer.get(), IID_IUnknown, aggregated.put_void()));
    // Every request yields a new object.
    ComPtr<IUnknown> first, second;
    CHECK_HR(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, first.put_void()));
    CHECK_HR(S_OK, factory->CreateInstance(nullptr, IID_IUnknown, second.put_void()));
    CHECK(first.get() != second.get() && first.get() != nullptr);
  }
  CHECK_HR(S_OK, can_unload());
  return qeltest::Failures();
}

std::wstring VersionString(const std::vector<BYTE>& block, const wchar_t* key) {
  const std::wstring path = std::wstring(L"\\StringFileInfo\\040904B0\\") + key;
  void* value = nullptr;
  UINT length = 0;
  if (!::VerQueryValueW(block.data(), path.c_str(), &value, &length) || !value) {
    return L"<missing>";
  }
  return std::wstring(static_cast<const wchar_t*>(value));
}

// The object has one type info, of the dispatch half of _Qelscale.
ComPtr<ITypeInfo> DispatchTypeInfo(IDispatch* scale) {
  UINT count = 0;
  CHECK_HR(S_OK, scale->GetTypeInfoCount(&count));
  CHECK(count == 1);
  ComPtr<ITypeInfo> info;
  CHECK_HR(DISP_E_BADINDEX, scale->GetTypeInfo(1, 0, info.put()));
  CHECK_HR(S_OK, scale->GetTypeInfo(0, 0, info.put()));
  if (!info) return info;

  TYPEATTR* attr = nullptr;
  CHECK_HR(S_OK, info->GetTypeAttr(&attr));
  if (attr) {
    CHECK(IsEqualGUID(attr->guid, IID__Qelscale));
    const WORD wanted =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE;
    CHECK_HR(wanted, attr->wTypeFlags & wanted);
    info->ReleaseTypeAttr(attr);
  }
  return info;
}

// The type library's DISPIDs are the ones the object answers with.
void CheckTypeLibraryDispids(ITypeInfo* info, IDispatch* scale) {
  for (const auto& [name, id] :
       std::map<std::wstring, DISPID>{{L"GetWeight_", DISPID_QELSCALE_GETWEIGHT},
                                      {L"OpenComPort_", DISPID_QELSCALE_OPENCOMPORT}}) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name.c_str())};
    DISPID from_type = 0, from_object = 0;
    CHECK_HR(S_OK, info->GetIDsOfNames(names, 1, &from_type));
    CHECK_HR(S_OK, scale->GetIDsOfNames(IID_NULL, names, 1, 0, &from_object));
    CHECK_HR(id, from_type);
    CHECK_HR(id, from_object);
  }
}

// The vtable half of the dual interface: GetWeight_ then OpenComPort_, with their parameters.
void CheckVtableHalf(ITypeInfo* info) {
  HREFTYPE vtable_ref = 0;
  ComPtr<ITypeInfo> vtable;
  CHECK_HR(S_OK, info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref));
  CHECK_HR(S_OK, info->GetRefTypeInfo(vtable_ref, vtable.put()));
  if (!vtable) return;
  TYPEATTR* vattr = nullptr;
  CHECK_HR(S_OK, vtable->GetTypeAttr(&vattr));
  if (vattr) {
    CHECK(vattr->typekind == TKIND_INTERFACE);
    CHECK(vattr->cFuncs == 2);
    const WORD wanted =
        TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FOLEAUTOMATION;
    CHECK_HR(wanted, vattr->wTypeFlags & wanted);
    vtable->ReleaseTypeAttr(vattr);
  }
  const wchar_t* expected_names[] = {L"GetWeight_", L"OpenComPort_"};
  const DISPID expected_ids[] = {DISPID_QELSCALE_GETWEIGHT, DISPID_QELSCALE_OPENCOMPORT};
  const SHORT expected_params[] = {1, 2};
  SHORT last_offset = 0;
  for (UINT i = 0; i < 2; ++i) {
    FUNCDESC* func = nullptr;
    CHECK_HR(S_OK, vtable->GetFuncDesc(i, &func));
    if (!func) continue;
    CHECK_HR(expected_ids[i], func->memid);
    CHECK(func->cParams == expected_params[i]);
    CHECK(func->oVft > last_offset);
    last_offset = func->oVft;
    UniqueBstr name;
    CHECK_HR(S_OK, vtable->GetDocumentation(func->memid, name.put(), nullptr, nullptr, nullptr));
    CHECK_WSTR(expected_names[i], name.view());
    if (i == 1 && func->cParams == 2) {
      const ELEMDESC& port = func->lprgelemdescParam[0];
      const ELEMDESC& found = func->lprgelemdescParam[1];
      CHECK(port.tdesc.vt == VT_PTR && port.tdesc.lptdesc->vt == VT_BSTR);
      CHECK((port.paramdesc.wParamFlags & (PARAMFLAG_FIN | PARAMFLAG_FOUT)) ==
            (PARAMFLAG_FIN | PARAMFLAG_FOUT));
      CHECK(found.tdesc.vt == VT_PTR && found.tdesc.lptdesc->vt == VT_BOOL);
      CHECK(found.paramdesc.wParamFlags & PARAMFLAG_FRETVAL);
    }
    vtable->ReleaseFuncDesc(func);
  }
}

// The library it comes from: identity, and the class with its default interface.
void CheckContainingLibrary(ITypeInfo* info) {
  ComPtr<ITypeLib> library;
  UINT index = 0;
  CHECK_HR(S_OK, info->GetContainingTypeLib(library.put(), &index));
  if (!library) return;
  TLIBATTR* lib = nullptr;
  CHECK_HR(S_OK, library->GetLibAttr(&lib));
  if (lib) {
    CHECK(IsEqualGUID(lib->guid, LIBID_Qel_weigher));
    CHECK(lib->wMajorVerNum == 1 && lib->wMinorVerNum == 0 && lib->lcid == 0);
    library->ReleaseTLibAttr(lib);
  }
  CHECK(library->GetTypeInfoCount() == 2);
  UniqueBstr name;
  CHECK_HR(S_OK, library->GetDocumentation(-1, name.put(), nullptr, nullptr, nullptr));
  CHECK_WSTR(L"Qel_weigher", name.view());
  ComPtr<ITypeInfo> coclass;
  CHECK_HR(S_OK, library->GetTypeInfoOfGuid(CLSID_Qelscale, coclass.put()));
  if (!coclass) return;
  CHECK_HR(S_OK, coclass->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr, nullptr));
  CHECK_WSTR(L"Qelscale", name.view());
  INT flags = 0;
  CHECK_HR(S_OK, coclass->GetImplTypeFlags(0, &flags));
  CHECK(flags & IMPLTYPEFLAG_FDEFAULT);
  HREFTYPE ref = 0;
  ComPtr<ITypeInfo> default_interface;
  CHECK_HR(S_OK, coclass->GetRefTypeOfImplType(0, &ref));
  CHECK_HR(S_OK, coclass->GetRefTypeInfo(ref, default_interface.put()));
  if (default_interface) {
    CHECK_HR(S_OK, default_interface->GetDocumentation(MEMBERID_NIL, name.put(), nullptr, nullptr,
                                                       nullptr));
    CHECK_WSTR(L"_Qelscale", name.view());
  }
}

// The version resource, read back from the loaded library.
void CheckVersionResource() {
  wchar_t path[MAX_PATH] = {};
  CHECK(::GetModuleFileNameW(::GetModuleHandleW(L"Qel_weigher.dll"), path, MAX_PATH) > 0);
  DWORD handle = 0;
  const DWORD size = ::GetFileVersionInfoSizeW(path, &handle);
  CHECK(size > 0);
  std::vector<BYTE> block(size);
  CHECK(::GetFileVersionInfoW(path, 0, size, block.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT fixed_size = 0;
  CHECK(::VerQueryValueW(block.data(), L"\\", reinterpret_cast<void**>(&fixed), &fixed_size));
  if (fixed) {
    const DWORD high = MAKELONG(QEL_VERSION_MINOR, QEL_VERSION_MAJOR);
    const DWORD low = MAKELONG(0, QEL_VERSION_PATCH);
    CHECK(fixed->dwFileVersionMS == high && fixed->dwFileVersionLS == low);
    CHECK(fixed->dwProductVersionMS == high && fixed->dwProductVersionLS == low);
  }
  DWORD* translation = nullptr;
  UINT translation_size = 0;
  CHECK(::VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation",
                         reinterpret_cast<void**>(&translation), &translation_size));
  if (translation && translation_size >= 4) CHECK(*translation == MAKELONG(0x0409, 1200));
  CHECK_WSTR(QEL_VERSION_TEXT, VersionString(block, L"FileVersion"));
  CHECK_WSTR(QEL_VERSION_TEXT, VersionString(block, L"ProductVersion"));
  CHECK_WSTR(Utf8ToWide("драйвер весов Rongta RLS1000(считывание веса платфоромы из RS-232)"),
             VersionString(block, L"FileDescription"));
  CHECK_WSTR(Utf8ToWide("драйвер весов"), VersionString(block, L"Comments"));
  CHECK_WSTR(L"Qel_scale", VersionString(block, L"ProductName"));
  CHECK_WSTR(L"Qel_weigher", VersionString(block, L"InternalName"));
  CHECK_WSTR(L"Qel_weigher.dll", VersionString(block, L"OriginalFilename"));
  CHECK_WSTR(L"", VersionString(block, L"OLESelfRegister"));
}

int TypeInfo() {
  ComApartment apartment;
  ComPtr<IDispatch> scale = MUST_CREATE();
  const ComPtr<ITypeInfo> info = DispatchTypeInfo(scale.get());
  if (!info) return qeltest::Failures() + 1;
  CheckTypeLibraryDispids(info.get(), scale.get());
  CheckVtableHalf(info.get());
  CheckContainingLibrary(info.get());
  CheckVersionResource();
  return qeltest::Failures();
}

// Runs `work` on a thread of its own with a single-threaded apartment and a message box
// watch, and waits for it.
void OnStaThread(const std::function<void(qeltest::MessageBoxWatch&)>& work) {
  std::thread thread([&] {
    ComApartment apartment;
    qeltest::MessageBoxWatch watch;
    work(watch);
  });
  thread.join();
}

std::wstring OpenFailedText(const wchar_t* port, DWORD code) {
  return Utf8ToWide("Не могу открыть порт ") + port + L": " + std::to_wstring(code);
}

// The code the system gives for opening `device` the way the driver does.
DWORD OpenErrorFor(const char* device) {
  qeltest::UniqueHfile handle(
      ::CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  return handle ? 0 : ::GetLastError();
}

// The harness maps COM1 to something that is no scale: either it does not open, or it is no
// serial line (/dev/null) and cannot be configured. Either way the driver says so.
bool IsCom1Failure(const std::wstring& text) {
  const DWORD code = OpenErrorFor("COM1:");
  if (code != 0) return text == OpenFailedText(L"COM1", code);
  return text.rfind(L"Error DCB&Timout:", 0) == 0;
}

int Threads(const std::wstring& expected_weight) {
  ComApartment apartment;
  qeltest::MessageBoxWatch watch;

  // One thread: a new object resets the port choice of every object of that thread.
  {
    ComPtr<IDispatch> a = MUST_CREATE();
    CHECK(LATE_PROBE(a.get(), L"COM3"));
    CHECK_WSTR(expected_weight, LATE_WEIGHT(a.get()));
    ComPtr<IDispatch> b = MUST_CREATE();
    CHECK_WSTR(L"0", LATE_WEIGHT(a.get()));
    const auto seen = watch.Take();
    CHECK_HR(1, seen.size());
    if (!seen.empty()) CHECK(IsCom1Failure(seen[0].text));
  }

  // Two apartments on two threads keep separate choices, even while both live.
  {
    HANDLE chosen = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    HANDLE other_created = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    qeltest::UniqueHandle chosen_owner(chosen), created_owner(other_created);
    std::wstring weight_a;
    std::vector<qeltest::SeenBox> boxes_b;
    std::thread a([&] {
      ComApartment sta;
      qeltest::MessageBoxWatch own;
      ComPtr<IDispatch> scale = MUST_CREATE();
      CHECK(LATE_PROBE(scale.get(), L"COM3"));
      ::SetEvent(chosen);
      ::WaitForSingleObject(other_created, 10000);
      weight_a = LATE_WEIGHT(scale.get());
    });
    std::thread b([&] {
      ComApartment sta;
      qeltest::MessageBoxWatch own;
      ::WaitForSingleObject(chosen, 10000);
      ComPtr<IDispatch> scale = MUST_CREATE();  // "COM1" for this thread only
      ::SetEvent(other_created);
      CHECK_WSTR(L"0", LATE_WEIGHT(scale.get()));
      boxes_b = own.Take();
    });
    a.join();
    b.join();
    CHECK_WSTR(expected_weight, weight_a);
    CHECK_HR(1, boxes_b.size());
    if (!boxes_b.empty()) CHECK(IsCom1Failure(boxes_b[0].text));
  }

  // Objects on several threads; the library is unloaded while some of those threads live
  // on, then they end. Threads that ended earlier got their state freed on detach.
  {
    constexpr int kThreads = 6;
    HANDLE release = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    qeltest::UniqueHandle release_owner(release);
    std::vector<std::thread> lingering;
    for (int i = 0; i < kThreads; ++i) {
      lingering.emplace_back([release] {
        {
          ComApartment sta;
          ComPtr<IDispatch> scale = MUST_CREATE();
          UINT count = 0;
          CHECK_HR(S_OK, scale->GetTypeInfoCount(&count));
        }
        ::WaitForSingleObject(release, 20000);
      });
    }
    for (int i = 0; i < kThreads; ++i) {
      OnStaThread([](qeltest::MessageBoxWatch&) {
        ComPtr<IDispatch> scale = MUST_CREATE();
        UINT count = 0;
        CHECK_HR(S_OK, scale->GetTypeInfoCount(&count));
      });
    }
    // Give the lingering threads time to create and release their objects.
    for (int wait = 0; wait < 100 && ::GetModuleHandleW(L"Qel_weigher.dll"); ++wait) {
      ::CoFreeUnusedLibrariesEx(0, 0);
      ::Sleep(50);
    }
    CHECK(::GetModuleHandleW(L"Qel_weigher.dll") == nullptr);
    ::SetEvent(release);
    for (auto& thread : lingering) thread.join();
  }

  // And the library loads again and works after all that.
  ComPtr<IDispatch> again = MUST_CREATE();
  CHECK(LATE_PROBE(again.get(), L"COM3"));
  CHECK_WSTR(expected_weight, LATE_WEIGHT(again.get()));
  return qeltest::Failures();
}

// Wine's ntdll exports wine_get_version; Windows' does not.
bool RunsUnderWine() {
  const HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && ::GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

int Messages() {
  ComApartment apartment;
  qeltest::MessageBoxWatch watch;
  ComPtr<IDispatch> scale = MUST_CREATE();

  // A port that does not exist.
  const DWORD absent = OpenErrorFor("COM9:");
  CHECK(absent != 0);
  CHECK(!LATE_PROBE(scale.get(), L"COM9"));
  auto seen = watch.Take();
  CHECK_HR(1, seen.size());
  if (!seen.empty()) {
    CHECK_WSTR(OpenFailedText(L"COM9", absent), seen[0].text);
    CHECK_WSTR(L"Qel_weigher", seen[0].caption);
    CHECK(!seen[0].has_icon);
    CHECK(!seen[0].has_cancel);
  }
  // The failed probe kept COM9: the next reading goes there too.
  CHECK_WSTR(L"0", LATE_WEIGHT(scale.get()));
  CHECK_HR(1, watch.Take().size());

  // A port someone else holds. Windows refuses a second open of a serial port; Wine does
  // not enforce exclusive opens of serial devices, and there the driver must read through
  // its own handle like any other opener. Either way something is asserted.
  {
    qeltest::UniqueHfile held(::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0,
                                            nullptr, OPEN_EXISTING, 0, nullptr));
    CHECK(held.valid());
    const DWORD busy = OpenErrorFor("COM3:");
    if (busy == 0) {
      CHECK(RunsUnderWine());  // Windows itself must refuse the second open
      std::printf("note: Wine lets a second handle open COM3: the driver reads beside it\n");
      CHECK(LATE_PROBE(scale.get(), L"COM3"));
      CHECK(watch.Take().empty());
    } else {
      CHECK(!LATE_PROBE(scale.get(), L"COM3"));
      seen = watch.Take();
      CHECK_HR(1, seen.size());
      if (!seen.empty()) {
        CHECK_WSTR(OpenFailedText(L"COM3", busy), seen[0].text);
        CHECK_WSTR(L"Qel_weigher", seen[0].caption);
        CHECK(!seen[0].has_icon);
      }
    }
  }
  // Released again: the same object probes fine, without a message.
  CHECK(LATE_PROBE(scale.get(), L"COM3"));
  CHECK(watch.Take().empty());
  return qeltest::Failures();
}

// A point-of-sale program polls the weight on a timer. While one of the driver's message
// boxes is up, the box's message loop runs that timer, and the timer calls the driver again
// on the same thread. The harness maps COM6 to a plain file: it opens, but it is no serial
// line, so the driver shows its setup failure while it holds the port. The system refuses a
// second open of that file while a handle with share mode 0 stays open: a leaked handle
// would make every later open of COM6 fail.
struct TimerCall {
  IDispatch* scale = nullptr;
  qeltest::MessageBoxWatch* watch = nullptr;
  int fired = 0;
  std::size_t boxes_up = 0;
  bool found = false;
};
TimerCall* g_timer_call = nullptr;

void CALLBACK PollFromTimer(HWND, UINT, UINT_PTR id, DWORD) {
  ::KillTimer(nullptr, id);
  TimerCall& call = *g_timer_call;
  ++call.fired;
  call.boxes_up = call.watch->HeldCount();
  call.watch->Hold(false);
  call.found = LATE_PROBE(call.scale, L"COM3");
  call.watch->Answer();  // only now the driver's box goes away
}

int Reentry(const std::wstring& expected_weight) {
  ComApartment apartment;
  qeltest::MessageBoxWatch watch;
  ComPtr<IDispatch> scale = MUST_CREATE();
  const DWORD free_before = OpenErrorFor("COM6:");
  CHECK_HR(0, free_before);

  TimerCall call;
  call.scale = scale.get();
  call.watch = &watch;
  g_timer_call = &call;
  watch.Hold(true);
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 200, PollFromTimer);
  CHECK(timer != 0);
  CHECK(!LATE_PROBE(scale.get(), L"COM6"));
  watch.Hold(false);
  if (call.fired == 0) ::KillTimer(nullptr, timer);
  g_timer_call = nullptr;

  CHECK_HR(1, call.fired);
  CHECK_HR(1, call.boxes_up);  // the timer ran while the driver's box was up
  CHECK(call.found);           // and its call read the scale on COM3
  auto seen = watch.Take();
  CHECK_HR(1, seen.size());
  if (!seen.empty()) CHECK(seen[0].text.rfind(L"Error DCB&Timout:", 0) == 0);

  // Nothing of the interrupted call stays open: COM6 opens as before, and the driver's next
  // call there fails the same way, not with a port that someone holds.
  CHECK_HR(free_before, OpenErrorFor("COM6:"));
  CHECK(!LATE_PROBE(scale.get(), L"COM6"));
  seen = watch.Take();
  CHECK_HR(1, seen.size());
  if (!seen.empty()) CHECK(seen[0].text.rfind(L"Error DCB&Timout:", 0) == 0);
  CHECK(LATE_PROBE(scale.get(), L"COM3"));
  CHECK_WSTR(expected_weight, LATE_WEIGHT(scale.get()));
  CHECK(watch.Take().empty());
  return qeltest::Failures();
}

// The client's timer drops its last reference while the driver's box is up (COM6, the plain
// file, brings the box up with the port held). The call keeps the object alive until it
// returns: inside the box the library still counts an object, after the call none.
struct ReleaseCall {
  IUnknown* scale = nullptr;
  CanUnloadFn can_unload = nullptr;
  qeltest::MessageBoxWatch* watch = nullptr;
  HRESULT unload_in_box = E_FAIL;
};
ReleaseCall* g_release_call = nullptr;

void CALLBACK ReleaseFromTimer(HWND, UINT, UINT_PTR id, DWORD) {
  ::KillTimer(nullptr, id);
  ReleaseCall& call = *g_release_call;
  call.scale->Release();
  call.unload_in_box = call.can_unload();
  call.watch->Answer();
}

// Runs `probe` on a fresh object whose last reference the timer releases; returns the
// probe's answer.
bool ProbeWhileReleased(qeltest::MessageBoxWatch& watch,
                        const std::function<bool(IDispatch*)>& probe) {
  ComPtr<IDispatch> created = MUST_CREATE();
  ReleaseCall call;
  call.scale = created.detach();
  call.can_unload = Export<CanUnloadFn>(::GetModuleHandleW(L"Qel_weigher.dll"), "DllCanUnloadNow");
  call.watch = &watch;
  CHECK(call.can_unload != nullptr);
  if (!call.can_unload) return false;
  g_release_call = &call;
  watch.Hold(true);
  const UINT_PTR timer = ::SetTimer(nullptr, 0, 200, ReleaseFromTimer);
  CHECK(timer != 0);
  const bool found = probe(static_cast<IDispatch*>(call.scale));
  watch.Hold(false);
  g_release_call = nullptr;
  CHECK_HR(S_FALSE, call.unload_in_box);  // released in the box, alive until the call ended
  CHECK_HR(S_OK, call.can_unload());      // and gone after it
  auto seen = watch.Take();
  CHECK_HR(1, seen.size());
  return found;
}

int ReleaseInsideCall() {
  ComApartment apartment;
  qeltest::MessageBoxWatch watch;
  // Late binding: IDispatch::Invoke.
  CHECK(!ProbeWhileReleased(watch, [](IDispatch* scale) { return LATE_PROBE(scale, L"COM6"); }));
  // Early binding: the dual interface's own entry.
  CHECK(!ProbeWhileReleased(watch, [](IDispatch* scale) {
    ComPtr<_Qelscale> early;
    CHECK_HR(S_OK, scale->QueryInterface(IID__Qelscale, early.put_void()));
    if (!early) return true;
    // The timer's Release drops the dispatch pointer's reference; this one is dropped first.
    _Qelscale* raw = early.get();
    early.reset();
    UniqueBstr port{std::wstring_view(L"COM6")};
    BSTR in_out = port.get();
    VARIANT_BOOL found = VARIANT_TRUE;
    CHECK_HR(S_OK, raw->OpenComPort_(&in_out, &found));
    return found != VARIANT_FALSE;
  }));
  return qeltest::Failures();
}

// The device names the driver library hands to CreateFileA, caught in its import table.
using CreateFileAFn = HANDLE(WINAPI*)(LPCSTR, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD,
                                      HANDLE);
CreateFileAFn g_real_create_file = nullptr;
std::vector<std::string> g_devices;

HANDLE WINAPI RecordingCreateFileA(LPCSTR name, DWORD access, DWORD share,
                                   LPSECURITY_ATTRIBUTES security, DWORD disposition, DWORD flags,
                                   HANDLE model) {
  g_devices.push_back(name ? name : "");
  return g_real_create_file(name, access, share, security, disposition, flags, model);
}

// Points `module`'s import of `function` from `dll` at `replacement`; the old entry, or
// nullptr when the module does not import it.
void* PatchImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  BYTE* const base = reinterpret_cast<BYTE*>(module);
  const auto* dos = reinterpret_cast<const IMAGE_DOS_HEADER*>(base);
  const auto* nt = reinterpret_cast<const IMAGE_NT_HEADERS*>(base + dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports =
      nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  for (auto* entry = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + imports.VirtualAddress);
       entry->Name != 0; ++entry) {
    if (::lstrcmpiA(reinterpret_cast<const char*>(base + entry->Name), dll) != 0) continue;
    auto* names = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->OriginalFirstThunk);
    auto* slots = reinterpret_cast<IMAGE_THUNK_DATA*>(base + entry->FirstThunk);
    for (; names->u1.AddressOfData != 0; ++names, ++slots) {
      if (IMAGE_SNAP_BY_ORDINAL(names->u1.Ordinal)) continue;
      const auto* by_name =
          reinterpret_cast<const IMAGE_IMPORT_BY_NAME*>(base + names->u1.AddressOfData);
      if (std::strcmp(reinterpret_cast<const char*>(by_name->Name), function) != 0) continue;
      DWORD protection = 0;
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, PAGE_READWRITE, &protection);
      void* const previous = reinterpret_cast<void*>(slots->u1.Function);
      slots->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
      ::VirtualProtect(&slots->u1.Function, sizeof slots->u1.Function, protection, &protection);
      return previous;
    }
  }
  return nullptr;
}

// A probe and a reading on `port` read the scale, and the driver opened `device` for each.
#define CHECK_READS_THROUGH(scale, port, device, weight) \
  CheckReadsThrough(QEL_HERE, scale, port, device, weight)
void CheckReadsThrough(const qeltest::Where& at, IDispatch* scale, const wchar_t* port,
                       const char* device, const std::wstring& expected_weight) {
  g_devices.clear();
  const bool found = LateProbe(at, scale, port);
  const bool weighed = LateWeight(at, scale) == expected_weight;
  CHECK_AT(at, found && weighed);
  const std::vector<std::string> twice{device, device};
  CHECK_AT(at, g_devices == twice);
}

// The harness maps COM12 to the scale as well as COM3. COM1 to COM9 keep the device name
// "COMn:"; COM10 and above open as \\.\COMn; a name already in that form opens as it stands.
// Messages name the port as the client gave it.
int ComNames(const std::wstring& expected_weight) {
  ComApartment apartment;
  qeltest::MessageBoxWatch watch;
  ComPtr<IDispatch> scale = MUST_CREATE();
  const HMODULE library = ::GetModuleHandleW(L"Qel_weigher.dll");
  CHECK(library != nullptr);
  if (!library) return qeltest::Failures();
  g_real_create_file = reinterpret_cast<CreateFileAFn>(PatchImport(
      library, "kernel32.dll", "CreateFileA", reinterpret_cast<void*>(&RecordingCreateFileA)));
  CHECK(g_real_create_file != nullptr);
  if (!g_real_create_file) return qeltest::Failures();

  CHECK_READS_THROUGH(scale.get(), L"COM12", "\\\\.\\COM12", expected_weight);
  CHECK_READS_THROUGH(scale.get(), L"\\\\.\\COM12", "\\\\.\\COM12", expected_weight);
  CHECK_READS_THROUGH(scale.get(), L"com12", "\\\\.\\com12", expected_weight);
  CHECK_READS_THROUGH(scale.get(), L"COM3", "COM3:", expected_weight);
  watch.Take();
  for (int n = 1; n <= 9; ++n) {
    const std::wstring port = L"COM" + std::to_wstring(n);
    g_devices.clear();
    LATE_PROBE(scale.get(), port.c_str());
    const std::string name = "COM" + std::to_string(n) + ":";
    if (g_devices != std::vector<std::string>{name}) {
      qeltest::Fail(QEL_HERE, "COM" + std::to_string(n) + " opened as " +
                                  (g_devices.empty() ? "nothing" : g_devices[0]));
    }
  }
  watch.Take();

  // A port that is not there: the message names it as the client did.
  g_devices.clear();
  CHECK(!LATE_PROBE(scale.get(), L"COM13"));
  CHECK(g_devices == std::vector<std::string>{"\\\\.\\COM13"});
  const DWORD absent = OpenErrorFor("\\\\.\\COM13");
  CHECK(absent != 0);
  const auto seen = watch.Take();
  CHECK_HR(1, seen.size());
  if (!seen.empty()) CHECK_WSTR(OpenFailedText(L"COM13", absent), seen[0].text);

  PatchImport(library, "kernel32.dll", "CreateFileA", reinterpret_cast<void*>(g_real_create_file));
  return qeltest::Failures();
}

int Unregistered() {
  ComApartment apartment;
  ComPtr<IDispatch> scale;
  const HRESULT hr = CreateScale(scale);
  CHECK(FAILED(hr));
  CHECK(!scale);
  std::printf("creation after unregistering: %s\n", qeltest::Hex(hr).c_str());
  return qeltest::Failures();
}

int Measure(int calls) {
  ComApartment apartment;
  ComPtr<IDispatch> scale = MUST_CREATE();
  CHECK(LATE_PROBE(scale.get(), L"COM3"));
  ComPtr<_Qelscale> early;
  CHECK_HR(S_OK, scale.as(early));
  if (!early) return 1;
  LARGE_INTEGER frequency, start, stop;
  ::QueryPerformanceFrequency(&frequency);
  std::vector<double> overhead_ms;
  for (int i = 0; i < calls; ++i) {
    UniqueBstr weight;
    ::QueryPerformanceCounter(&start);
    const HRESULT hr = early->GetWeight_(weight.put());
    ::QueryPerformanceCounter(&stop);
    CHECK_HR(S_OK, hr);
    const double ms = 1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) /
                      static_cast<double>(frequency.QuadPart);
    overhead_ms.push_back(ms - 600.0);
  }
  std::sort(overhead_ms.begin(), overhead_ms.end());
  const auto at = [&](double q) {
    const auto i = static_cast<std::size_t>(q * static_cast<double>(overhead_ms.size() - 1) + 0.5);
    return overhead_ms[std::min(i, overhead_ms.size() - 1)];
  };
  std::printf("calls %d\nmedian_ms %.3f\np99_ms %.3f\nmin_ms %.3f\nmax_ms %.3f\n", calls, at(0.5),
              at(0.99), overhead_ms.front(), overhead_ms.back());
  return qeltest::Failures();
}

}  // namespace

int main(int argc, char** argv) {
  const std::string scenario = argc > 1 ? argv[1] : "";
  const std::wstring arg = argc > 2 ? Utf8ToWide(argv[2]) : L"";
  int failures = 0;
  if (scenario == "dispatch") {
    failures = Dispatch(arg);
  } else if (scenario == "lifetime") {
    failures = Lifetime();
  } else if (scenario == "typeinfo") {
    failures = TypeInfo();
  } else if (scenario == "threads") {
    failures = Threads(arg);
  } else if (scenario == "messages") {
    failures = Messages();
  } else if (scenario == "reentry") {
    failures = Reentry(arg) + ReleaseInsideCall();
  } else if (scenario == "com_names") {
    failures = ComNames(arg);
  } else if (scenario == "unregistered") {
    failures = Unregistered();
  } else if (scenario == "measure") {
    failures = Measure(argc > 2 ? std::atoi(argv[2]) : 30);
  } else {
    std::printf(
        "usage: qel_com_client dispatch WEIGHT | lifetime | typeinfo | threads WEIGHT | "
        "messages | reentry WEIGHT | com_names WEIGHT | unregistered | measure N\n");
    return 2;
  }
  std::printf("%s: %s\n", scenario.c_str(), failures == 0 ? "ok" : "FAILED");
  return failures == 0 ? 0 : 1;
}
