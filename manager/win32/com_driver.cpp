#include "com_driver.h"

#include <windows.h>
// After windows.h, which they need.
#include <objbase.h>
#include <oleauto.h>

#include <string>

#include "Qel_weigher.h"
#include "com_resource.h"
#include "wide_text.h"

namespace weightbench {

using qel::win::ComPtr;
using qel::win::UniqueBstr;
using qel::win::UniqueExcepInfo;
using qel::win::UniqueVariant;
using qel::win::Utf8ToWide;
using qel::win::WideToUtf8;

namespace {

// What a late-binding client would report for a failed call.
std::string DescribeFailure(const wchar_t* method, HRESULT hr, EXCEPINFO* info) {
  std::wstring text;
  if (hr == DISP_E_EXCEPTION && info != nullptr) {
    if (info->pfnDeferredFillIn != nullptr) info->pfnDeferredFillIn(info);
    if (info->bstrDescription != nullptr) {
      text.assign(info->bstrDescription, SysStringLen(info->bstrDescription));
    }
    if (info->scode != 0) hr = info->scode;
  }
  if (text.empty()) {
    wchar_t* system_text = nullptr;
    const DWORD length = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&system_text), 0, nullptr);
    if (length != 0 && system_text != nullptr) {
      text.assign(system_text, length);
      while (!text.empty() && (text.back() == L'\n' || text.back() == L'\r')) text.pop_back();
    }
    LocalFree(system_text);
  }
  wchar_t code[16];
  wsprintfW(code, L"0x%08lX", static_cast<unsigned long>(hr));
  return WideToUtf8(std::wstring(method) + L": " +
                    (text.empty() ? code : text + L" (" + code + L")"));
}

class ComDriver : public Driver {
 public:
  explicit ComDriver(ComPtr<IDispatch> dispatch) : dispatch_(std::move(dispatch)) {}

  bool OpenComPort_(const std::string& port) override {
    // The method takes the port by reference: pass the address of our own BSTR.
    UniqueBstr argument(Utf8ToWide(port));
    VARIANTARG arg;
    VariantInit(&arg);
    arg.vt = VT_BSTR | VT_BYREF;
    arg.pbstrVal = argument.address();
    DISPPARAMS params = {&arg, nullptr, 1, 0};
    UniqueVariant result;
    Call(L"OpenComPort_", DISPATCH_METHOD, params, result);
    const VARIANT& value = *result;
    if (value.vt == VT_BOOL) return value.boolVal == VARIANT_TRUE;
    // Anything else is compared as a number with True (-1), as a Variant comparison does.
    UniqueVariant number;
    if (FAILED(VariantChangeType(number.get(), result.get(), 0, VT_I4))) return false;
    return number->lVal == -1;
  }

  std::string GetWeight_() override {
    DISPPARAMS params = {nullptr, nullptr, 0, 0};
    UniqueVariant result;
    Call(L"GetWeight_", DISPATCH_METHOD | DISPATCH_PROPERTYGET, params, result);
    UniqueVariant text;
    const HRESULT hr = VariantChangeType(text.get(), result.get(), 0, VT_BSTR);
    if (FAILED(hr)) throw DriverFault(DescribeFailure(L"GetWeight_", hr, nullptr));
    const BSTR bstr = text->bstrVal;
    return WideToUtf8(bstr ? std::wstring_view(bstr, SysStringLen(bstr)) : std::wstring_view());
  }

 private:
  void Call(const wchar_t* name, WORD flags, DISPPARAMS& params, UniqueVariant& result) {
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    DISPID dispid = DISPID_UNKNOWN;
    HRESULT hr = dispatch_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &dispid);
    if (FAILED(hr)) throw DriverFault(DescribeFailure(name, hr, nullptr));
    UniqueExcepInfo info;
    UINT bad_argument = 0;
    hr = dispatch_->Invoke(dispid, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result.get(),
                           info.get(), &bad_argument);
    if (FAILED(hr)) throw DriverFault(DescribeFailure(name, hr, info.get()));
  }

  ComPtr<IDispatch> dispatch_;
};

}  // namespace

std::unique_ptr<Driver> ComDriverFactory::Create() {
  CLSID clsid;
  if (FAILED(CLSIDFromProgID(QEL_PROGID, &clsid))) return nullptr;
  ComPtr<IDispatch> dispatch;
  if (FAILED(CoCreateInstance(clsid, nullptr, CLSCTX_SERVER, IID_IDispatch, dispatch.put_void())) ||
      !dispatch) {
    return nullptr;
  }
  return std::make_unique<ComDriver>(std::move(dispatch));
}

}  // namespace weightbench
