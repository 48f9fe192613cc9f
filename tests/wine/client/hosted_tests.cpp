// The object and the Win32 back end hosted directly in this process, with a fake platform
// where the real one cannot produce the case: faults raised inside a method, which must
// come back as HRESULTs with their description and never as exceptions.
#include <ole2.h>
#include <oleauto.h>
#include <windows.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <new>
#include <stdexcept>
#include <string>

#include "check.h"
#include "com_ptr.h"
#include "module_api.h"
#include "platform.h"
#include "qelscale_object.h"
#include "runtime_fault.h"
#include "text.h"
#include "win32_services.h"

using qel::com::Bstr;
using qel::com::ComPtr;

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
  CHECK_HR(S_OK, scale.As(early));
  if (!scale || !early) return;

  // Late binding: the fault arrives in EXCEPINFO.
  DISPPARAMS none{};
  EXCEPINFO exception{};
  VARIANT result;
  ::VariantInit(&result);
  CHECK_HR(DISP_E_EXCEPTION, scale->Invoke(0x60030000, IID_NULL, 0, DISPATCH_METHOD, &none, &result,
                                           &exception, nullptr));
  CHECK_HR(qel::com::kRuntimeFault, exception.scode);
  CHECK(exception.bstrDescription && std::wstring(exception.bstrDescription) == L"Overflow");
  CHECK(exception.bstrSource &&
        std::wstring(exception.bstrSource) == std::wstring(qel::com::kProgId));
  CHECK(result.vt == VT_EMPTY);
  ::SysFreeString(exception.bstrDescription);
  ::SysFreeString(exception.bstrSource);
  // Without an EXCEPINFO the HRESULT itself tells.
  CHECK_HR(qel::com::kRuntimeFault, scale->Invoke(0x60030000, IID_NULL, 0, DISPATCH_METHOD, &none,
                                                  nullptr, nullptr, nullptr));

  // Early binding: the fault arrives in the thread's error object.
  BSTR weight = reinterpret_cast<BSTR>(1);
  CHECK_HR(qel::com::kRuntimeFault, early->GetWeight_(&weight));
  CHECK(weight == nullptr);
  ComPtr<IErrorInfo> info;
  CHECK_HR(S_OK, ::GetErrorInfo(0, info.put()));
  if (info) {
    Bstr description;
    info->GetDescription(description.put());
    CHECK_WSTR(L"Overflow", description.view());
    GUID guid{};
    info->GetGUID(&guid);
    CHECK(IsEqualGUID(guid, IID__Qelscale));
  }

  // Any other exception is contained as well.
  Bstr port{std::wstring_view(L"COM3")};
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

  const COMMTIMEOUTS t = qel::win32::ToCommTimeouts(qel::ModuleAPI::MakeTimeouts(9600));
  CHECK(t.ReadIntervalTimeout == 1 && t.ReadTotalTimeoutMultiplier == 1 &&
        t.ReadTotalTimeoutConstant == 1);
  CHECK(t.WriteTotalTimeoutMultiplier == 2 && t.WriteTotalTimeoutConstant == 20);
}

// A port name with a NUL inside never reaches CreateFileA cut short.
void EmbeddedNul() {
  qel::win32::Win32Serial serial;
  const qel::OpenOutcome opened = serial.Open(std::string("COM3\0junk:", 10));
  CHECK(opened.handle == qel::kInvalidPortHandle);
  CHECK_HR(ERROR_INVALID_NAME, opened.code);
}

}  // namespace

int main() {
  if (FAILED(::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) return 2;
  Faults();
  LineRecords();
  EmbeddedNul();
  ::CoUninitialize();
  std::printf("hosted: %s\n", qeltest::Failures() == 0 ? "ok" : "FAILED");
  return qeltest::Failures() == 0 ? 0 : 1;
}
