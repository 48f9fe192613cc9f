#include "opos_service_host.h"

#include <optional>

#include "engine_link.h"
#include "port_opening.h"
#include "unique_resource.h"
#include "wide_text.h"

namespace qel::com {
namespace {

constexpr UINT kEventsMessage = WM_APP + 1;
constexpr wchar_t kWindowClass[] = L"Qel_weigher.OposScale.Events";

HINSTANCE ThisModule() {
  HMODULE module = nullptr;
  ::GetModuleHandleExW(
      GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
      reinterpret_cast<LPCWSTR>(&ThisModule), &module);
  return module;
}

std::optional<std::wstring> TextValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD bytes = 0;
  if (::RegQueryValueExW(key, name, nullptr, &type, nullptr, &bytes) != ERROR_SUCCESS ||
      (type != REG_SZ && type != REG_EXPAND_SZ)) {
    return std::nullopt;
  }
  std::wstring text(bytes / sizeof(wchar_t) + 1, L'\0');
  bytes = static_cast<DWORD>(text.size() * sizeof(wchar_t));
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &bytes) !=
      ERROR_SUCCESS) {
    return std::nullopt;
  }
  text.resize(bytes / sizeof(wchar_t));
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

// A REG_DWORD, or a text of digits (as a .reg file or `reg add` may leave it).
std::uint32_t NumberValue(HKEY key, const wchar_t* name) {
  DWORD type = 0;
  DWORD value = 0;
  DWORD bytes = sizeof value;
  if (::RegQueryValueExW(key, name, nullptr, &type, reinterpret_cast<BYTE*>(&value), &bytes) ==
          ERROR_SUCCESS &&
      type == REG_DWORD) {
    return value;
  }
  const std::optional<std::wstring> text = TextValue(key, name);
  if (!text || text->empty() || text->size() > 9) return 0;
  std::uint32_t number = 0;
  for (wchar_t c : *text) {
    if (c < L'0' || c > L'9') return 0;
    number = number * 10 + static_cast<std::uint32_t>(c - L'0');
  }
  return number;
}

}  // namespace

OposServiceHost::OposServiceHost(Services& services, std::function<void()> deliver)
    : services_(services), deliver_(std::move(deliver)) {
  WNDCLASSEXW window_class{};
  window_class.cbSize = sizeof window_class;
  window_class.lpfnWndProc = &OposServiceHost::WindowProc;
  window_class.hInstance = ThisModule();
  window_class.lpszClassName = kWindowClass;
  ::RegisterClassExW(&window_class);  // already registered by an earlier object: fine
  window_ = ::CreateWindowExW(0, kWindowClass, L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                              window_class.hInstance, nullptr);
  if (window_) ::SetWindowLongPtrW(window_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
}

OposServiceHost::~OposServiceHost() {
  if (window_) ::DestroyWindow(window_);
}

LRESULT CALLBACK OposServiceHost::WindowProc(HWND window, UINT message, WPARAM wparam,
                                             LPARAM lparam) {
  if (message == kEventsMessage) {
    auto* host = reinterpret_cast<OposServiceHost*>(::GetWindowLongPtrW(window, GWLP_USERDATA));
    if (host) host->deliver_();
    return 0;
  }
  return ::DefWindowProcW(window, message, wparam, lparam);
}

void OposServiceHost::EventsWaiting() {
  if (window_) ::PostMessageW(window_, kEventsMessage, 0, 0);
}

std::optional<opos::DeviceSettings> OposServiceHost::Settings(const std::string& device_name) {
  const std::wstring path = std::wstring(kOposScaleKey) + L"\\" + win::Utf8ToWide(device_name);
  win::UniqueHkey key;
  // Our own registry view: the one the Control Object of our bitness found us in.
  if (::RegOpenKeyExW(HKEY_LOCAL_MACHINE, path.c_str(), 0, KEY_READ, key.put()) != ERROR_SUCCESS) {
    return std::nullopt;
  }
  const std::optional<std::wstring> port = TextValue(key.get(), L"Port");
  if (!port) return std::nullopt;
  opos::DeviceSettings settings;
  settings.port = win::WideToUtf8(*port);
  settings.maximum_weight = static_cast<std::int32_t>(NumberValue(key.get(), L"MaximumWeight"));
  settings.weight_unit = static_cast<std::int32_t>(NumberValue(key.get(), L"WeightUnit"));
  settings.stable_ms = NumberValue(key.get(), L"StableMs");
  return settings;
}

std::shared_ptr<void> OposServiceHost::Claim(const std::string& device_name) {
  // A named mutex per device: it exists while any instance in any process holds it.
  std::wstring device = win::Utf8ToWide(device_name);
  for (wchar_t& c : device) {
    if (c == L'\\') c = L'_';  // no backslash inside a kernel object's name
  }
  const std::wstring name = L"Local\\Qel_weigher.OposScale." + device;
  HANDLE mutex = ::CreateMutexW(nullptr, FALSE, name.c_str());
  if (!mutex) return nullptr;
  if (::GetLastError() == ERROR_ALREADY_EXISTS) {
    ::CloseHandle(mutex);
    return nullptr;
  }
  return std::shared_ptr<void>(mutex, [](void* held) { ::CloseHandle(held); });
}

opos::PortCheck OposServiceHost::CheckPort(const std::string& port_name) {
  const OpenOutcome opened = services_.serial.Open(DeviceName(port_name));
  if (opened.handle != kInvalidPortHandle) {
    services_.serial.Close(opened.handle);
    return opos::PortCheck::kFree;
  }
  if (opened.code == ERROR_ACCESS_DENIED || opened.code == ERROR_SHARING_VIOLATION) {
    return opos::PortCheck::kHeld;
  }
  return opos::PortCheck::kAbsent;
}

std::unique_ptr<opos::DeviceLink> OposServiceHost::Start(const opos::DeviceSettings& settings,
                                                         Listener listener) {
  return opos::StartEngineLink(services_, settings, std::move(listener));
}

}  // namespace qel::com
