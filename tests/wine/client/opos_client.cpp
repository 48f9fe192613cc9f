// A test Control Object for the Scale service object, run under Wine against the virtual
// scale on COM3 (MT-SICS). Like a UnifiedPOS Control Object it finds the service object's
// ProgID under the OPOS registry key, calls it through IDispatch by name and passes its own
// dispatch for the events. It changes the scale by printing "scale: COMMAND" and waiting for
// the harness's "ok" on stdin.
//
//   qel_opos_client DEVICE ABSENT_DEVICE   the whole scenario
//   qel_opos_client --read DEVICE          open, claim, enable, read 1.234 kg, release, close
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "check.h"
#include "com_resource.h"
#include "test_handles.h"
#include "wide_text.h"

using qel::win::ComApartment;
using qel::win::ComPtr;
using qel::win::UniqueVariant;

namespace {

// From the published OPOS headers (Opos.h, OposScal.h).
constexpr long kSuccess = 0, kClosed = 101, kClaimed = 102, kNotClaimed = 103, kDisabled = 105,
               kIllegal = 106, kNoHardware = 107, kNoExist = 109, kTimeout = 112, kExtended = 114;
constexpr long kPidxDeviceEnabled = 3, kPidxDataEventEnabled = 2, kPidxResultCode = 6,
               kPidxResultCodeExtended = 7, kPidxState = 9, kPidxWeightUnit = 9002,
               kPidxAsyncMode = 9003, kPidxTareWeight = 9005, kPidxScaleLiveWeight = 9006,
               kPidxStatusNotify = 9007, kPidxZeroValid = 9008, kPidxCapZeroScale = 9505;
constexpr long kStable = 11, kUnstable = 12, kZero = 13, kOverweight = 14, kUnderZero = 16;

// The Control Object's side: the events the service object sends, recorded in order.
class ControlObject final : public IDispatch {
 public:
  std::vector<long> data, status, status_live;
  std::vector<std::pair<long, long>> errors;
  IDispatch* service = nullptr;  // to read ScaleLiveWeight as an event arrives

  HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** out) override {
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
      *out = static_cast<IDispatch*>(this);
      return S_OK;
    }
    *out = nullptr;
    return E_NOINTERFACE;
  }
  ULONG STDMETHODCALLTYPE AddRef() override { return 2; }
  ULONG STDMETHODCALLTYPE Release() override { return 1; }
  HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
    *count = 0;
    return S_OK;
  }
  HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override {
    return DISP_E_BADINDEX;
  }
  HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID,
                                          DISPID* ids) override {
    static const wchar_t* const kNames[] = {L"SOData", L"SOError", L"SOStatusUpdate", L"SODirectIO",
                                            L"SOOutputComplete"};
    for (UINT i = 0; i < count; ++i) ids[i] = DISPID_UNKNOWN;
    for (DISPID id = 0; id < 5; ++id) {
      if (std::wcscmp(names[0], kNames[id]) == 0) ids[0] = id + 1;
    }
    return ids[0] == DISPID_UNKNOWN ? DISP_E_UNKNOWNNAME : S_OK;
  }
  HRESULT STDMETHODCALLTYPE Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                   EXCEPINFO*, UINT*) override;
};

long LongOf(const VARIANT& value) {
  UniqueVariant plain;
  if (FAILED(::VariantCopyInd(plain.get(), const_cast<VARIANT*>(&value))) ||
      FAILED(::VariantChangeType(plain.get(), plain.get(), 0, VT_I4))) {
    return -1;
  }
  return V_I4(plain.get());
}

// One call by name, arguments in the caller's order; the result as a long (or -1).
long Call(IDispatch* object, const wchar_t* name, std::vector<VARIANT> args,
          std::wstring* text = nullptr) {
  DISPID id = DISPID_UNKNOWN;
  LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
  if (FAILED(object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return -1;
  std::vector<VARIANT> reversed(args.rbegin(), args.rend());
  DISPPARAMS params{reversed.data(), nullptr, static_cast<UINT>(reversed.size()), 0};
  UniqueVariant result;
  if (FAILED(object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params,
                            result.get(), nullptr, nullptr))) {
    return -1;
  }
  if (text && V_VT(result.get()) == VT_BSTR) {
    *text = V_BSTR(result.get()) ? V_BSTR(result.get()) : L"";
    return 0;
  }
  return V_VT(result.get()) == VT_EMPTY ? 0 : LongOf(*result);
}

VARIANT Long(long value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_I4;
  V_I4(&v) = value;
  return v;
}

VARIANT LongRef(long* value) {
  VARIANT v;
  ::VariantInit(&v);
  V_VT(&v) = VT_I4 | VT_BYREF;
  V_I4REF(&v) = value;
  return v;
}

HRESULT ControlObject::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                              EXCEPINFO*, UINT*) {
  const UINT n = params->cArgs;
  auto arg = [&](UINT i) -> const VARIANT& { return params->rgvarg[n - 1 - i]; };
  if (id == 1 && n == 1) data.push_back(LongOf(arg(0)));
  if (id == 2 && n == 4) errors.emplace_back(LongOf(arg(0)), LongOf(arg(1)));
  if (id == 3 && n == 1) {
    status.push_back(LongOf(arg(0)));
    // The live weight is set before the event is delivered.
    status_live.push_back(Call(service, L"GetPropertyNumber", {Long(kPidxScaleLiveWeight)}));
  }
  return S_OK;
}

long Number(IDispatch* so, long index) { return Call(so, L"GetPropertyNumber", {Long(index)}); }
void SetNumber(IDispatch* so, long index, long value) {
  Call(so, L"SetPropertyNumber", {Long(index), Long(value)});
}
long ReadWeight(IDispatch* so, long& weight, long timeout) {
  return Call(so, L"ReadWeight", {LongRef(&weight), Long(timeout)});
}
long Open(IDispatch* so, const std::wstring& device, IDispatch* events) {
  qel::win::UniqueBstr device_class(L"Scale"), name(device);
  VARIANT cls, dev, co;
  ::VariantInit(&cls);
  ::VariantInit(&dev);
  ::VariantInit(&co);
  V_VT(&cls) = VT_BSTR;
  V_BSTR(&cls) = device_class.get();
  V_VT(&dev) = VT_BSTR;
  V_BSTR(&dev) = name.get();
  V_VT(&co) = VT_DISPATCH;
  V_DISPATCH(&co) = events;
  return Call(so, L"OpenService", {cls, dev, co});
}

// The service object named for `device` under the OPOS key, created as a Control Object does.
ComPtr<IDispatch> Create(const std::wstring& device) {
  const std::wstring key = L"SOFTWARE\\OLEforRetail\\ServiceOPOS\\Scale\\" + device;
  wchar_t progid[256] = {};
  DWORD bytes = sizeof progid;
  ComPtr<IDispatch> object;
  if (::RegGetValueW(HKEY_LOCAL_MACHINE, key.c_str(), nullptr, RRF_RT_REG_SZ, nullptr, progid,
                     &bytes) != ERROR_SUCCESS) {
    std::printf("no ProgID under HKLM\\%s\n", qel::win::WideToUtf8(key).c_str());
    return object;
  }
  CLSID clsid;
  if (SUCCEEDED(::CLSIDFromProgID(progid, &clsid))) {
    ::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch, object.put_void());
  }
  return object;
}

// Runs our message loop until `done` or a minute passes (the events come through it).
bool Pump(const std::function<bool()>& done, DWORD limit_ms = 60000) {
  const ULONGLONG until = ::GetTickCount64() + limit_ms;
  while (!done()) {
    if (::GetTickCount64() > until) return false;
    MSG message;
    while (::PeekMessageW(&message, nullptr, 0, 0, PM_REMOVE)) ::DispatchMessageW(&message);
    ::MsgWaitForMultipleObjects(0, nullptr, FALSE, 20, QS_ALLINPUT);
  }
  return true;
}

// The harness changes the virtual scale and answers "ok".
void Scale(const char* command) {
  std::printf("scale: %s\n", command);
  std::fflush(stdout);
  char answer[64] = {};
  if (!std::fgets(answer, sizeof answer, stdin) || std::strncmp(answer, "ok", 2) != 0) {
    std::printf("FAIL: the harness did not carry out '%s'\n", command);
    std::exit(2);
  }
}

bool PortOpens() {
  qeltest::UniqueHfile port(::CreateFileW(L"\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
  return port.get() != INVALID_HANDLE_VALUE;
}

// Waits for a live weight status after the `from`th; true when `wanted` (with the live weight
// `live`, when given) arrived.
bool WaitStatus(ControlObject& co, std::size_t from, long wanted, long live = -1) {
  return Pump([&] {
    for (std::size_t i = from; i < co.status.size(); ++i) {
      if (co.status[i] == wanted && (live < 0 || co.status_live[i] == live)) return true;
    }
    return false;
  });
}

}  // namespace

namespace {

// Open, claim, the wrong states, a second instance; returns with the device claimed.
void OpenAndClaim(IDispatch* so, ControlObject& co, const std::wstring& device) {
  long weight = 0;
  CHECK(Call(so, L"ClaimDevice", {Long(0)}) == kClosed);
  CHECK(ReadWeight(so, weight, 0) == kClosed);
  CHECK(Open(so, device, &co) == kSuccess);
  CHECK(ReadWeight(so, weight, 0) == kNotClaimed);
  CHECK(Call(so, L"ZeroScale", {}) == kNotClaimed);
  SetNumber(so, kPidxDeviceEnabled, 1);
  CHECK(Number(so, kPidxResultCode) == kNotClaimed);
  CHECK(Call(so, L"ClaimDevice", {Long(1000)}) == kSuccess);
  CHECK(ReadWeight(so, weight, 0) == kDisabled);
  CHECK(PortOpens());  // claimed but not enabled: the port is free
  ControlObject other_co;
  ComPtr<IDispatch> other = Create(device);
  CHECK(other && Open(other.get(), device, &other_co) == kSuccess);
  if (other) {
    CHECK(Call(other.get(), L"ClaimDevice", {Long(0)}) == kClaimed);
    CHECK(Call(other.get(), L"CloseService", {}) == kSuccess);
  }
}

void ReadStableAndMoving(IDispatch* so, ControlObject& co) {
  long weight = 0;
  CHECK(ReadWeight(so, weight, 10000) == kSuccess);
  CHECK(weight == 1234);
  std::size_t mark = co.status.size();
  Scale("motion on");
  CHECK(WaitStatus(co, mark, kUnstable));
  CHECK(ReadWeight(so, weight, 1500) == kTimeout);
  mark = co.status.size();
  Scale("motion off");
  CHECK(WaitStatus(co, mark, kStable, 1234));
  // Asynchronous: one data event with the weight.
  SetNumber(so, kPidxAsyncMode, 1);
  SetNumber(so, kPidxDataEventEnabled, 1);
  CHECK(ReadWeight(so, weight, 10000) == kSuccess);
  CHECK(Pump([&] { return !co.data.empty(); }));
  Pump([] { return false; }, 500);  // a second one would have come by now
  CHECK(co.data == std::vector<long>{1234});
  CHECK(co.errors.empty());
  SetNumber(so, kPidxAsyncMode, 0);
}

void OutOfRange(IDispatch* so, ControlObject& co) {
  long weight = 0;
  std::size_t mark = co.status.size();
  Scale("weight 0");
  CHECK(WaitStatus(co, mark, kZero, 0));
  mark = co.status.size();
  Scale("condition overload");
  CHECK(WaitStatus(co, mark, kOverweight));
  CHECK(ReadWeight(so, weight, 5000) == kExtended);
  CHECK(Number(so, kPidxResultCodeExtended) == 201);
  // The scale refuses to zero while overloaded; the extended code says why.
  CHECK(Call(so, L"ZeroScale", {}) == kExtended);
  CHECK(Number(so, kPidxResultCodeExtended) == 201);
  mark = co.status.size();
  Scale("condition under-zero");
  CHECK(WaitStatus(co, mark, kUnderZero));
  CHECK(ReadWeight(so, weight, 5000) == kExtended);
  CHECK(Number(so, kPidxResultCodeExtended) == 202);
  Scale("condition normal");
}

void ZeroAndTare(IDispatch* so, ControlObject& co) {
  CHECK(Number(so, kPidxCapZeroScale) == 1);
  std::size_t mark = co.status.size();
  Scale("weight 0.020");
  CHECK(WaitStatus(co, mark, kStable, 20));
  mark = co.status.size();
  CHECK(Call(so, L"ZeroScale", {}) == kSuccess);
  CHECK(WaitStatus(co, mark, kZero));
  mark = co.status.size();
  Scale("weight 0.300");
  CHECK(WaitStatus(co, mark, kStable, 300));
  mark = co.status.size();
  SetNumber(so, kPidxTareWeight, 0);
  CHECK(Number(so, kPidxResultCode) == kSuccess);
  CHECK(WaitStatus(co, mark, kZero));  // the load is now the tare: net zero
  long weight = -1;
  SetNumber(so, kPidxZeroValid, 1);
  CHECK(ReadWeight(so, weight, 10000) == kSuccess);
  CHECK(weight == 0);
}

void Scenario(const std::wstring& device, const std::wstring& absent) {
  ControlObject co;
  ComPtr<IDispatch> so = Create(device);
  CHECK(so);
  if (!so) return;
  co.service = so.get();
  OpenAndClaim(so.get(), co, device);
  SetNumber(so.get(), kPidxStatusNotify, 2);  // before enabling, as the rules ask
  CHECK(Number(so.get(), kPidxResultCode) == kSuccess);
  SetNumber(so.get(), kPidxDeviceEnabled, 1);
  CHECK(Number(so.get(), kPidxResultCode) == kSuccess);
  CHECK(Number(so.get(), kPidxWeightUnit) == 2);  // kilogram
  CHECK(WaitStatus(co, 0, kStable, 1234));
  // No display, no DirectIO commands, no statistics, no price computing.
  long data = 0;
  CHECK(Call(so.get(), L"DisplayText", {Long(0)}) == kIllegal);
  CHECK(Call(so.get(), L"DirectIO", {Long(1), LongRef(&data), Long(0)}) == kIllegal);
  CHECK(Call(so.get(), L"ResetStatistics", {Long(0)}) == kIllegal);
  CHECK(Call(so.get(), L"SetSpecialTare", {Long(1), Long(0)}) == kIllegal);
  ReadStableAndMoving(so.get(), co);
  OutOfRange(so.get(), co);
  ZeroAndTare(so.get(), co);
  CHECK(Call(so.get(), L"ReleaseDevice", {}) == kSuccess);
  CHECK(Call(so.get(), L"CloseService", {}) == kSuccess);
  CHECK(PortOpens());  // released and closed: free for another program
  long weight = 0;
  CHECK(ReadWeight(so.get(), weight, 0) == kClosed);
  CHECK(Number(so.get(), kPidxState) == 1);
  // A device whose port is absent, and one that is not configured.
  ComPtr<IDispatch> other = Create(absent);
  CHECK(other && Open(other.get(), absent, &co) == kSuccess);
  if (other) CHECK(Call(other.get(), L"ClaimDevice", {Long(0)}) == kNoHardware);
  if (other) CHECK(Open(other.get(), L"NoSuchDevice", &co) != kSuccess);
  ComPtr<IDispatch> fresh = Create(device);
  CHECK(fresh && Open(fresh.get(), L"NoSuchDevice", &co) == kNoExist);
}

// A POS application's plain use of an installed device.
void ReadOnce(const std::wstring& device) {
  ControlObject co;
  ComPtr<IDispatch> so = Create(device);
  CHECK(so);
  if (!so) return;
  co.service = so.get();
  CHECK(Open(so.get(), device, &co) == kSuccess);
  CHECK(Call(so.get(), L"ClaimDevice", {Long(5000)}) == kSuccess);
  SetNumber(so.get(), kPidxDeviceEnabled, 1);
  long weight = 0;
  CHECK(ReadWeight(so.get(), weight, 30000) == kSuccess);
  CHECK(weight == 1234);
  std::printf("weight %ld\n", weight);
  CHECK(Call(so.get(), L"ReleaseDevice", {}) == kSuccess);
  CHECK(Call(so.get(), L"CloseService", {}) == kSuccess);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::printf("usage: qel_opos_client DEVICE ABSENT_DEVICE | --read DEVICE\n");
    return 2;
  }
  ComApartment apartment;
  if (std::strcmp(argv[1], "--read") == 0) {
    ReadOnce(qel::win::Utf8ToWide(argv[2]));
  } else {
    Scenario(qel::win::Utf8ToWide(argv[1]), qel::win::Utf8ToWide(argv[2]));
  }
  std::printf("%s\n", qeltest::Failures() == 0 ? "opos: passed" : "opos: FAILED");
  return qeltest::Failures() == 0 ? 0 : 1;
}
