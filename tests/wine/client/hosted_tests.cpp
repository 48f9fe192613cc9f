// The object and the Win32 back end hosted directly in this process, with a fake platform
// where the real one cannot produce the case: faults raised inside a method, which must
// come back as HRESULTs with their description and never as exceptions.
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <functional>
#include <new>
#include <stdexcept>
#include <string>
#include <vector>

#include "Qel_weigher.h"
#include "check.h"
#include "com_resource.h"
#include "module_api.h"
#include "platform.h"
#include "qelscale_object.h"
#include "runtime_fault.h"
#include "win32_services.h"

using qel::win::ComPtr;
using qel::win::UniqueBstr;
using qel::win::UniqueExcepInfo;
using qel::win::UniqueVariant;

namespace {

enum class Throw { kRuntimeFault, kBadAlloc, kOther };

// A serial port whose open throws what the test asks for.
class ThrowingSerial final : public qel::SerialApi {
 public:
  Throw what = Throw::kRuntimeFault;
  qel::OpenOutcome Open(const std::string&) override {
    switch (what) {
      case Throw::kRuntimeFault:
        throw qel::RuntimeFault("Overflow");
      case Throw::kBadAlloc:
        throw std::bad_alloc();
      case Throw::kOther:
        throw 42;
    }
    return {};
  }
  void Purge(qel::PortHandle) override {}
  qel::SysStatus SetState(qel::PortHandle, const qel::LineSettings&) override { return {}; }
  qel::SysStatus SetTimeouts(qel::PortHandle, const qel::CommTimeouts&) override { return {}; }
  qel::ReadOutcome Read(qel::PortHandle, std::uint8_t*, std::uint32_t) override { return {}; }
  qel::SysStatus Write(qel::PortHandle, const std::uint8_t*, std::uint32_t) override { return {}; }
  void Close(qel::PortHandle) override {}
};

class NoMessages final : public qel::MessageSink {
 public:
  void Show(std::string_view, std::string_view, qel::MessageIcon) override {}
};
class FixedLocale final : public qel::LocaleSource {
 public:
  qel::NumberFormat UserNumberFormat() override { return {}; }
};
class NoSleep final : public qel::Sleeper {
 public:
  void SleepMs(std::uint32_t) override {}
};
class OneState final : public qel::LinkStateStore {
 public:
  qel::LinkState& ForCurrentThread() override { return state_; }

 private:
  qel::LinkState state_;
};

void Faults() {
  ThrowingSerial serial;
  NoMessages messages;
  FixedLocale locale;
  NoSleep sleeper;
  OneState states;
  qel::Services services{serial, messages, locale, sleeper, states};

  ComPtr<IDispatch> scale;
  CHECK_HR(S_OK, qel::com::CreateQelscale(services, IID_IDispatch, scale.put_void()));
  ComPtr<_Qelscale> early;
  CHECK_HR(S_OK, scale.as(early));
  if (!scale || !early) return;

  // Late binding: the fault arrives in EXCEPINFO.
  DISPPARAMS none{};
  UniqueExcepInfo exception;
  UniqueVariant result;
  CHECK_HR(DISP_E_EXCEPTION, scale->Invoke(DISPID_QELSCALE_GETWEIGHT, IID_NULL, 0, DISPATCH_METHOD,
                                           &none, result.get(), exception.get(), nullptr));
  CHECK_HR(qel::com::kRuntimeFault, exception->scode);
  CHECK(exception->bstrDescription && std::wstring(exception->bstrDescription) == L"Overflow");
  CHECK(exception->bstrSource && std::wstring(exception->bstrSource) == QEL_PROGID);
  CHECK(result->vt == VT_EMPTY);
  // Without an EXCEPINFO the HRESULT itself tells.
  CHECK_HR(qel::com::kRuntimeFault,
           scale->Invoke(DISPID_QELSCALE_GETWEIGHT, IID_NULL, 0, DISPATCH_METHOD, &none, nullptr,
                         nullptr, nullptr));

  // Early binding: the fault arrives in the thread's error object.
  BSTR weight = reinterpret_cast<BSTR>(1);
  CHECK_HR(qel::com::kRuntimeFault, early->GetWeight_(&weight));
  CHECK(weight == nullptr);
  ComPtr<IErrorInfo> info;
  CHECK_HR(S_OK, ::GetErrorInfo(0, info.put()));
  if (info) {
    UniqueBstr description;
    info->GetDescription(description.put());
    CHECK_WSTR(L"Overflow", description.view());
    GUID guid{};
    info->GetGUID(&guid);
    CHECK(IsEqualGUID(guid, IID__Qelscale));
  }

  // Any other exception is contained as well.
  UniqueBstr port{std::wstring_view(L"COM3")};
  BSTR in_out = port.get();
  VARIANT_BOOL found = VARIANT_TRUE;
  serial.what = Throw::kBadAlloc;
  CHECK_HR(E_OUTOFMEMORY, early->OpenComPort_(&in_out, &found));
  CHECK(found == VARIANT_FALSE);
  CHECK(in_out == port.get());
  serial.what = Throw::kOther;
  CHECK_HR(E_UNEXPECTED, early->OpenComPort_(&in_out, &found));
  CHECK_HR(S_OK, ::GetErrorInfo(0, info.put()));
}

// The DCB and COMMTIMEOUTS handed to the system carry the driver's values bit for bit.
void LineRecords() {
  const DCB dcb = qel::win32::ToDcb(qel::ModuleAPI::MakeLineSettings(9600));
  CHECK(dcb.DCBlength == 28 && sizeof(DCB) == 28);
  CHECK(dcb.BaudRate == 9600);
  DWORD flags = 0;
  std::memcpy(&flags, reinterpret_cast<const BYTE*>(&dcb) + offsetof(DCB, BaudRate) + 4,
              sizeof flags);
  CHECK_HR(0x83, flags);
  CHECK(dcb.fDtrControl == DTR_CONTROL_DISABLE && dcb.fRtsControl == RTS_CONTROL_DISABLE);
  CHECK(!dcb.fOutX && !dcb.fInX && !dcb.fOutxCtsFlow && !dcb.fOutxDsrFlow);
  CHECK(dcb.XonLim == 128 && dcb.XoffLim == 64 && dcb.ByteSize == 8);
  CHECK(dcb.Parity == NOPARITY && dcb.StopBits == ONESTOPBIT);
  CHECK(dcb.XonChar == 0x11 && dcb.XoffChar == 0x13 && dcb.ErrorChar == 0x23 &&
        dcb.EofChar == 0x1A && dcb.EvtChar == 0);

  // Each name of the bit-field word lands on the system's field of that name, and the
  // reserved bits never reach the system.
  struct Field {
    const char* name;
    qel::DcbBit bit;
    unsigned (*read)(const DCB&);
  };
  const Field fields[] = {
      {"fBinary", qel::kDcbBinary, [](const DCB& d) -> unsigned { return d.fBinary; }},
      {"fParity", qel::kDcbParity, [](const DCB& d) -> unsigned { return d.fParity; }},
      {"fOutxCtsFlow", qel::kDcbOutxCtsFlow,
       [](const DCB& d) -> unsigned { return d.fOutxCtsFlow; }},
      {"fOutxDsrFlow", qel::kDcbOutxDsrFlow,
       [](const DCB& d) -> unsigned { return d.fOutxDsrFlow; }},
      {"fDtrControl", qel::kDcbDtrControl, [](const DCB& d) -> unsigned { return d.fDtrControl; }},
      {"fDsrSensitivity", qel::kDcbDsrSensitivity,
       [](const DCB& d) -> unsigned { return d.fDsrSensitivity; }},
      {"fTXContinueOnXoff", qel::kDcbTxContinueOnXoff,
       [](const DCB& d) -> unsigned { return d.fTXContinueOnXoff; }},
      {"fOutX", qel::kDcbOutX, [](const DCB& d) -> unsigned { return d.fOutX; }},
      {"fInX", qel::kDcbInX, [](const DCB& d) -> unsigned { return d.fInX; }},
      {"fErrorChar", qel::kDcbErrorChar, [](const DCB& d) -> unsigned { return d.fErrorChar; }},
      {"fNull", qel::kDcbNull, [](const DCB& d) -> unsigned { return d.fNull; }},
      {"fRtsControl", qel::kDcbRtsControl, [](const DCB& d) -> unsigned { return d.fRtsControl; }},
      {"fAbortOnError", qel::kDcbAbortOnError,
       [](const DCB& d) -> unsigned { return d.fAbortOnError; }},
  };
  for (const Field& set : fields) {
    qel::LineSettings settings = qel::ModuleAPI::MakeLineSettings(9600);
    settings.Flags = qel::DcbMask(set.bit);
    const DCB one = qel::win32::ToDcb(settings);
    for (const Field& field : fields) {
      if (field.read(one) != (&field == &set ? 1u : 0u)) {
        qeltest::Fail(QEL_HERE, std::string(set.name) + "'s bit reads " +
                                    std::to_string(field.read(one)) + " in " + field.name);
      }
    }
  }
  qel::LineSettings all = qel::ModuleAPI::MakeLineSettings(9600);
  all.Flags = ~0u;
  const DCB every = qel::win32::ToDcb(all);
  CHECK(every.fDtrControl == 3 && every.fRtsControl == 3 && every.fAbortOnError == 1);
  CHECK(every.fDummy2 == 0 && every.wReserved == 0);

  const COMMTIMEOUTS t = qel::win32::ToCommTimeouts(qel::ModuleAPI::MakeTimeouts(9600));
  CHECK(t.ReadIntervalTimeout == 1 && t.ReadTotalTimeoutMultiplier == 1 &&
        t.ReadTotalTimeoutConstant == 1);
  CHECK(t.WriteTotalTimeoutMultiplier == 2 && t.WriteTotalTimeoutConstant == 20);
}

// A port where a scale always answers; it records the device names it is asked to open.
class ScaleSerial final : public qel::SerialApi {
 public:
  std::vector<std::string> opened;
  qel::OpenOutcome Open(const std::string& device) override {
    opened.push_back(device);
    return {7, 0};
  }
  void Purge(qel::PortHandle) override {}
  qel::SysStatus SetState(qel::PortHandle, const qel::LineSettings&) override { return {}; }
  qel::SysStatus SetTimeouts(qel::PortHandle, const qel::CommTimeouts&) override { return {}; }
  qel::ReadOutcome Read(qel::PortHandle, std::uint8_t* buffer, std::uint32_t count) override {
    const char frames[] = "=432.100=432.100";
    const std::uint32_t n = count < sizeof frames - 1 ? count : sizeof frames - 1;
    std::memcpy(buffer, frames, n);
    return {qel::SysStatus::Ok(), n};
  }
  qel::SysStatus Write(qel::PortHandle, const std::uint8_t*, std::uint32_t) override { return {}; }
  void Close(qel::PortHandle) override {}
};

// What one call of IDispatch::Invoke did.
struct Outcome {
  HRESULT hr = S_OK;
  UINT arg_error = kNoArgError;  // as the call left it
  std::string result;            // type and value
  std::string opened;            // the devices the driver opened
  bool arguments_unchanged = true;

  static constexpr UINT kNoArgError = 99;
  // Everything but the index of a faulty argument, which the documentation asks for only
  // with these two answers and which Wine's standard dispatch does not give.
  std::string Text() const {
    std::string text =
        "hr " + qeltest::Hex(hr) + ", result " + result + ", opened [" + opened + "]";
    if (!arguments_unchanged) text += ", an argument was changed";
    return text;
  }
  bool NamesAnArgument() const { return hr == DISP_E_TYPEMISMATCH || hr == DISP_E_PARAMNOTFOUND; }
};

// The arguments of one call, in the order IDispatch::Invoke takes them: named arguments
// first, then the positional ones from last to first. By-reference arguments point here.
struct Arguments {
  UniqueBstr port{std::wstring_view(L"COM3")};
  BSTR port_ref = port.get();
  LONG number = 12;
  VARIANT variable;  // a script engine's variable, holding the port name or a number
  std::vector<VARIANTARG> rgvarg;
  std::vector<DISPID> named;

  Arguments() {
    ::VariantInit(&variable);
    V_VT(&variable) = VT_BSTR;
    V_BSTR(&variable) = port.get();
  }
  Arguments(const Arguments&) = delete;
  Arguments& operator=(const Arguments&) = delete;

  template <typename Fill>
  void Add(VARTYPE vt, Fill fill) {
    VARIANTARG arg;
    ::VariantInit(&arg);
    V_VT(&arg) = vt;
    fill(arg);
    rgvarg.push_back(arg);
  }
  void Text() {
    Add(VT_BSTR, [&](VARIANTARG& a) { V_BSTR(&a) = port.get(); });
  }
  void TextRef() {
    Add(VT_BSTR | VT_BYREF, [&](VARIANTARG& a) { V_BSTRREF(&a) = &port_ref; });
  }
  void Number() {
    Add(VT_I4, [](VARIANTARG& a) { V_I4(&a) = 12; });
  }
  void Variable() {
    Add(VT_VARIANT | VT_BYREF, [&](VARIANTARG& a) { V_VARIANTREF(&a) = &variable; });
  }
  bool Unchanged() const {
    return port_ref == port.get() && port.view() == L"COM3" && number == 12 &&
           ((V_VT(&variable) == VT_BSTR && V_BSTR(&variable) == port.get()) ||
            (V_VT(&variable) == VT_I4 && V_I4(&variable) == 12));
  }
};

std::string ResultText(const VARIANT& result) {
  switch (V_VT(&result)) {
    case VT_EMPTY:
      return "none";
    case VT_BOOL:
      return V_BOOL(&result) == VARIANT_TRUE    ? "True"
             : V_BOOL(&result) == VARIANT_FALSE ? "False"
                                                : "a Boolean neither True nor False";
    case VT_BSTR:
      return "\"" +
             qel::win::WideToUtf8(
                 std::wstring_view(V_BSTR(&result), ::SysStringLen(V_BSTR(&result)))) +
             "\"";
    default:
      return "vt " + std::to_string(V_VT(&result));
  }
}

// The object's own IDispatch::Invoke against the standard dispatch that the type library
// gives (DispInvoke on the interface's type info), over the forms in which automation
// clients pass arguments: both answer alike, call the driver alike and change nothing they
// were given. One difference is kept on purpose: a script variable passed by reference.
void InvokeMatchesStandardDispatch() {
  ScaleSerial serial;
  NoMessages messages;
  FixedLocale locale;
  NoSleep sleeper;
  OneState states;
  qel::Services services{serial, messages, locale, sleeper, states};

  ComPtr<_Qelscale> scale;
  CHECK_HR(S_OK, qel::com::CreateQelscale(services, IID__Qelscale, scale.put_void()));
  if (!scale) return;
  ComPtr<ITypeInfo> dispatch_info, vtable_info;
  CHECK_HR(S_OK, scale->GetTypeInfo(0, 0, dispatch_info.put()));
  if (!dispatch_info) return;
  HREFTYPE vtable_ref = 0;
  CHECK_HR(S_OK, dispatch_info->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable_ref));
  CHECK_HR(S_OK, dispatch_info->GetRefTypeInfo(vtable_ref, vtable_info.put()));
  if (!vtable_info) return;

  // The names first: the member and its parameter, as the type library resolves them.
  const std::vector<std::vector<const wchar_t*>> name_lists = {
      {L"OpenComPort_", L"port"},          {L"opencomport_", L"PORT"}, {L"OpenComPort_", L"bogus"},
      {L"OpenComPort_", L"port", L"port"}, {L"GetWeight_", L"port"},   {L"Nothing", L"port"}};
  for (const auto& list : name_lists) {
    std::vector<LPOLESTR> names;
    for (const wchar_t* name : list) names.push_back(const_cast<LPOLESTR>(name));
    const UINT count = static_cast<UINT>(names.size());
    std::vector<DISPID> mine(count, 5), theirs(count, 5);
    const HRESULT my_hr = scale->GetIDsOfNames(IID_NULL, names.data(), count, 0, mine.data());
    const HRESULT their_hr =
        ::DispGetIDsOfNames(dispatch_info.get(), names.data(), count, theirs.data());
    CHECK_HR(their_hr, my_hr);
    // Where a name is unknown, what the other entries hold is not defined.
    if (SUCCEEDED(their_hr)) CHECK(mine == theirs);
  }

  constexpr DISPID kGetWeight = DISPID_QELSCALE_GETWEIGHT;
  constexpr DISPID kOpenComPort = DISPID_QELSCALE_OPENCOMPORT;
  enum class Kind {
    kSame,
    // Wine's standard dispatch counts an argument under a name that is no parameter as one
    // too many (DISP_E_BADPARAMCOUNT); Windows' answers DISP_E_PARAMNOTFOUND, as the
    // documentation of IDispatch::Invoke says.
    kUnknownName,
    // A script variable by reference: the standard dispatch refuses it, the object takes it.
    kScriptVariable,
  };
  struct Form {
    const char* what;
    DISPID id;
    void (*build)(Arguments&);
    Kind kind = Kind::kSame;
  };
  const Form forms[] = {
      {"string", kOpenComPort, [](Arguments& a) { a.Text(); }},
      {"string by reference", kOpenComPort, [](Arguments& a) { a.TextRef(); }},
      {"named port", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.named = {0};
       }},
      {"named port by reference", kOpenComPort,
       [](Arguments& a) {
         a.TextRef();
         a.named = {0};
       }},
      {"named port, a number", kOpenComPort,
       [](Arguments& a) {
         a.Number();
         a.named = {0};
       }},
      {"unknown name 1", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.named = {1};
       },
       Kind::kUnknownName},
      {"unknown name 7, a number", kOpenComPort,
       [](Arguments& a) {
         a.Number();
         a.named = {7};
       },
       Kind::kUnknownName},
      {"unknown name DISPID_UNKNOWN", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.named = {DISPID_UNKNOWN};
       },
       Kind::kUnknownName},
      {"named port and one more", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.Text();
         a.named = {0};
       }},
      {"named port twice", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.Text();
         a.named = {0, 0};
       }},
      {"named port and an unknown name", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.Text();
         a.named = {0, 3};
       }},
      {"no argument", kOpenComPort, [](Arguments&) {}},
      {"two arguments", kOpenComPort,
       [](Arguments& a) {
         a.Text();
         a.Text();
       }},
      {"a long", kOpenComPort, [](Arguments& a) { a.Number(); }},
      {"a short", kOpenComPort,
       [](Arguments& a) { a.Add(VT_I2, [](VARIANTARG& v) { V_I2(&v) = 7; }); }},
      {"a byte", kOpenComPort,
       [](Arguments& a) { a.Add(VT_UI1, [](VARIANTARG& v) { V_UI1(&v) = 3; }); }},
      {"a double", kOpenComPort,
       [](Arguments& a) { a.Add(VT_R8, [](VARIANTARG& v) { V_R8(&v) = 2.5; }); }},
      {"a Boolean", kOpenComPort,
       [](Arguments& a) { a.Add(VT_BOOL, [](VARIANTARG& v) { V_BOOL(&v) = VARIANT_TRUE; }); }},
      {"a currency", kOpenComPort,
       [](Arguments& a) { a.Add(VT_CY, [](VARIANTARG& v) { V_CY(&v).int64 = 15000; }); }},
      {"a date", kOpenComPort,
       [](Arguments& a) { a.Add(VT_DATE, [](VARIANTARG& v) { V_DATE(&v) = 45000.0; }); }},
      {"empty", kOpenComPort, [](Arguments& a) { a.Add(VT_EMPTY, [](VARIANTARG&) {}); }},
      {"null", kOpenComPort, [](Arguments& a) { a.Add(VT_NULL, [](VARIANTARG&) {}); }},
      {"a NULL string", kOpenComPort,
       [](Arguments& a) { a.Add(VT_BSTR, [](VARIANTARG& v) { V_BSTR(&v) = nullptr; }); }},
      {"an omitted argument", kOpenComPort,
       [](Arguments& a) {
         a.Add(VT_ERROR, [](VARIANTARG& v) { V_ERROR(&v) = DISP_E_PARAMNOTFOUND; });
       }},
      {"an error value", kOpenComPort,
       [](Arguments& a) { a.Add(VT_ERROR, [](VARIANTARG& v) { V_ERROR(&v) = E_FAIL; }); }},
      {"no object", kOpenComPort,
       [](Arguments& a) { a.Add(VT_DISPATCH, [](VARIANTARG& v) { V_DISPATCH(&v) = nullptr; }); }},
      {"a long by reference", kOpenComPort,
       [](Arguments& a) {
         a.Add(VT_I4 | VT_BYREF, [&a](VARIANTARG& v) { V_I4REF(&v) = &a.number; });
       }},
      {"a script variable holding a number", kOpenComPort,
       [](Arguments& a) {
         V_VT(&a.variable) = VT_I4;
         V_I4(&a.variable) = 12;
         a.Variable();
       }},
      {"a script variable", kOpenComPort, [](Arguments& a) { a.Variable(); },
       Kind::kScriptVariable},
      {"named port, a script variable", kOpenComPort,
       [](Arguments& a) {
         a.Variable();
         a.named = {0};
       },
       Kind::kScriptVariable},
      {"GetWeight_", kGetWeight, [](Arguments&) {}},
      {"GetWeight_ with an argument", kGetWeight, [](Arguments& a) { a.Text(); }},
      {"GetWeight_ with a named argument", kGetWeight,
       [](Arguments& a) {
         a.Text();
         a.named = {0};
       }},
  };

  const auto run = [&](const Form& form, bool standard) {
    Arguments args;
    form.build(args);
    DISPPARAMS params{};
    params.rgvarg = args.rgvarg.empty() ? nullptr : args.rgvarg.data();
    params.cArgs = static_cast<UINT>(args.rgvarg.size());
    params.rgdispidNamedArgs = args.named.empty() ? nullptr : args.named.data();
    params.cNamedArgs = static_cast<UINT>(args.named.size());
    serial.opened.clear();
    UniqueVariant result;
    UniqueExcepInfo exception;
    Outcome outcome;
    outcome.hr = standard
                     ? ::DispInvoke(scale.get(), vtable_info.get(), form.id, DISPATCH_METHOD,
                                    &params, result.get(), exception.get(), &outcome.arg_error)
                     : scale->Invoke(form.id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD,
                                     &params, result.get(), exception.get(), &outcome.arg_error);
    outcome.result = ResultText(*result);
    for (const std::string& device : serial.opened) outcome.opened += device;
    outcome.arguments_unchanged = args.Unchanged();
    return outcome;
  };

  for (const Form& form : forms) {
    const Outcome mine = run(form, false);
    Outcome expected = run(form, true);
    std::printf("%-36s standard: %s\n", form.what, expected.Text().c_str());
    if (form.kind == Kind::kUnknownName && expected.hr == DISP_E_BADPARAMCOUNT) {
      expected.hr = DISP_E_PARAMNOTFOUND;
      expected.arg_error = 0;
    }
    if (form.kind == Kind::kScriptVariable) {
      CHECK(FAILED(expected.hr));
      expected = Outcome{S_OK, Outcome::kNoArgError, "True", "COM3:", true};
    }
    if (mine.Text() != expected.Text()) {
      qeltest::Fail(QEL_HERE,
                    std::string(form.what) + ": " + mine.Text() + ", expected " + expected.Text());
    }
    // The one argument there is, wherever the index is given.
    if (mine.NamesAnArgument()) CHECK_HR(0, mine.arg_error);
    if (expected.NamesAnArgument() && expected.arg_error != Outcome::kNoArgError) {
      CHECK_HR(expected.arg_error, mine.arg_error);
    }
  }
}

// A port name with a NUL inside never reaches CreateFileA cut short.
void EmbeddedNul() {
  qel::win32::Win32Serial serial;
  const qel::OpenOutcome opened = serial.Open(std::string("COM3\0junk:", 10));
  CHECK(opened.handle == qel::kInvalidPortHandle);
  CHECK_HR(ERROR_INVALID_NAME, opened.code);
}

}  // namespace

int main(int argc, char** argv) {
  const qel::win::ComApartment apartment;
  if (!apartment.ok()) return 2;
  if (argc > 1 && std::strcmp(argv[1], "dispatch") == 0) {
    InvokeMatchesStandardDispatch();
  } else {
    Faults();
    LineRecords();
    EmbeddedNul();
  }
  std::printf("hosted: %s\n", qeltest::Failures() == 0 ? "ok" : "FAILED");
  return qeltest::Failures() == 0 ? 0 : 1;
}
