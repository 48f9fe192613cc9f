#include <windows.h>
// After windows.h, which they need; initguid.h first, so that devguid.h defines the class
// GUIDs here.
#include <initguid.h>
// (devguid.h after it)
#include <devguid.h>
#include <setupapi.h>

#include <algorithm>
#include <map>

#include "registry_text.h"
#include "serial_ports.h"
#include "system_handles.h"
#include "wide_text.h"

namespace qel {
namespace {

// "COM12" -> 12; other names (a driver may map any) sort after the COM ports.
unsigned long ComNumber(const std::wstring& name) {
  if (name.size() < 4 || _wcsnicmp(name.c_str(), L"COM", 3) != 0) return ~0UL;
  return std::wcstoul(name.c_str() + 3, nullptr, 10);
}

std::wstring DeviceText(HDEVINFO set, SP_DEVINFO_DATA& device, DWORD property) {
  wchar_t text[256] = {};
  if (!::SetupDiGetDeviceRegistryPropertyW(set, &device, property, nullptr,
                                           reinterpret_cast<BYTE*>(text), sizeof(text) - 2,
                                           nullptr)) {
    return {};
  }
  return text;
}

// The device's own name: its friendly name without the " (COM3)" the system adds, else its
// description.
std::wstring DeviceName(HDEVINFO set, SP_DEVINFO_DATA& device, const std::wstring& port) {
  std::wstring name = DeviceText(set, device, SPDRP_FRIENDLYNAME);
  const std::wstring suffix = L" (" + port + L")";
  if (name.size() > suffix.size() &&
      name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0) {
    name.resize(name.size() - suffix.size());
  }
  return name.empty() ? DeviceText(set, device, SPDRP_DEVICEDESC) : name;
}

// Port name (upper case) -> device name, for the Ports class devices present.
std::map<std::wstring, std::wstring> PortDescriptions() {
  std::map<std::wstring, std::wstring> names;
  const win::UniqueDevInfo set(
      ::SetupDiGetClassDevsW(&GUID_DEVCLASS_PORTS, nullptr, nullptr, DIGCF_PRESENT));
  if (!set) return names;
  SP_DEVINFO_DATA device{};
  device.cbSize = sizeof(device);
  for (DWORD i = 0; ::SetupDiEnumDeviceInfo(set.get(), i, &device); ++i) {
    const HKEY opened =
        ::SetupDiOpenDevRegKey(set.get(), &device, DICS_FLAG_GLOBAL, 0, DIREG_DEV, KEY_READ);
    if (opened == INVALID_HANDLE_VALUE) continue;
    const win::UniqueHkey key(opened);
    const win::RegistryText port = win::ReadRegistryText(key.get(), nullptr, L"PortName");
    if (!port.text || port.text->empty()) continue;
    std::wstring upper = *port.text;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    names[upper] = DeviceName(set.get(), device, *port.text);
  }
  return names;
}

}  // namespace

std::vector<SerialPortEntry> ListSerialPorts() {
  std::vector<std::wstring> names;
  for (const auto& [device, port] :
       win::ReadRegistryTexts(HKEY_LOCAL_MACHINE, L"HARDWARE\\DEVICEMAP\\SERIALCOMM")) {
    if (!port.empty()) names.push_back(port);
  }
  std::sort(names.begin(), names.end(), [](const std::wstring& a, const std::wstring& b) {
    const unsigned long x = ComNumber(a), y = ComNumber(b);
    return x != y ? x < y : a < b;
  });
  names.erase(std::unique(names.begin(), names.end()), names.end());
  const std::map<std::wstring, std::wstring> descriptions = PortDescriptions();
  std::vector<SerialPortEntry> ports;
  for (const std::wstring& name : names) {
    std::wstring upper = name;
    std::transform(upper.begin(), upper.end(), upper.begin(), ::towupper);
    const auto found = descriptions.find(upper);
    ports.push_back({win::WideToUtf8(name),
                     found == descriptions.end() ? std::string() : win::WideToUtf8(found->second)});
  }
  return ports;
}

}  // namespace qel
