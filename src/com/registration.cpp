// Self-registration: the ProgID, the class with its in-process server, and the type library
// with its interface. Registering twice or unregistering twice is harmless; a registration
// that fails half-way is rolled back. The values come from registration_table.h, which the
// MSI's registry entries are made from too.
#include <ole2.h>

#include <string>
#include <vector>

#include "Qel_weigher.h"
#include "com_resource.h"
#include "module.h"
#include "registration_table.h"
#include "unique_resource.h"

namespace {

using qel::win::ComPtr;
using qel::win::UniqueHkey;

namespace table = qel::com::registration;

// The identities of Qel_weigher.idl, from the MIDL-generated identifiers.
const table::Identities& Ids() {
  static const table::Identities ids(QEL_PROGID, CLSID_Qelscale, LIBID_Qel_weigher, IID__Qelscale);
  return ids;
}

// The Scale service object's: its dispatch interface stands where the interface does.
const table::Identities& ServiceObjectIds() {
  static const table::Identities ids(QEL_OPOS_PROGID, CLSID_OposScale, LIBID_Qel_weigher,
                                     DIID__OposScale);
  return ids;
}

std::wstring ClassKey(const table::Identities& ids = Ids()) { return L"CLSID\\" + ids.clsid; }

constexpr SYSKIND kSysKind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;

HRESULT SetValue(const table::Value& entry) {
  UniqueHkey key;
  LSTATUS status = ::RegCreateKeyExW(HKEY_CLASSES_ROOT, entry.key.c_str(), 0, nullptr, 0,
                                     KEY_SET_VALUE, nullptr, key.put(), nullptr);
  if (status != ERROR_SUCCESS) return HRESULT_FROM_WIN32(status);
  const auto bytes = static_cast<DWORD>((entry.data.size() + 1) * sizeof(wchar_t));
  status = ::RegSetValueExW(key.get(), entry.name.empty() ? nullptr : entry.name.c_str(), 0, REG_SZ,
                            reinterpret_cast<const BYTE*>(entry.data.c_str()), bytes);
  return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status);
}

HRESULT DeleteTree(const std::wstring& key) {
  const LSTATUS status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, key.c_str());
  if (status == ERROR_SUCCESS) {
    // RegDeleteTree empties the key; the key itself goes separately.
    const LSTATUS removed = ::RegDeleteKeyW(HKEY_CLASSES_ROOT, key.c_str());
    if (removed != ERROR_SUCCESS && removed != ERROR_FILE_NOT_FOUND) {
      return HRESULT_FROM_WIN32(removed);
    }
    return S_OK;
  }
  return status == ERROR_FILE_NOT_FOUND ? S_OK : HRESULT_FROM_WIN32(status);
}

bool KeyExists(const std::wstring& key) {
  UniqueHkey opened;
  return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, key.c_str(), 0, KEY_READ, opened.put()) ==
         ERROR_SUCCESS;
}

HRESULT UnregisterTypeLibrary() {
  // Only ours: the library key of this bitness, if present.
  const std::wstring platform_key = L"TypeLib\\" + Ids().libid + L"\\" + table::kLibraryVersion +
                                    (kSysKind == SYS_WIN64 ? L"\\0\\win64" : L"\\0\\win32");
  if (!KeyExists(platform_key)) return S_OK;
  return ::UnRegisterTypeLib(LIBID_Qel_weigher, 1, 0, LOCALE_NEUTRAL, kSysKind);
}

// The ProgID key is shared by the 32-bit and 64-bit registry views, the class key is not:
// while the server of the other bitness is still registered, its clients need the ProgID.
bool OtherBitnessRegistered(const table::Identities& ids) {
  const REGSAM other_view = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
  UniqueHkey key;
  return ::RegOpenKeyExW(HKEY_CLASSES_ROOT, (ClassKey(ids) + L"\\InprocServer32").c_str(), 0,
                         KEY_READ | other_view, key.put()) == ERROR_SUCCESS;
}

// Removes everything registration writes; keeps going past failures and reports the first.
HRESULT UnregisterAll() {
  HRESULT first = S_OK;
  auto keep = [&first](HRESULT hr) {
    if (FAILED(hr) && SUCCEEDED(first)) first = hr;
  };
  keep(UnregisterTypeLibrary());
  // On a 32-bit system the "other" view is this one, whose class key is gone by now.
  for (const table::Identities* ids : {&Ids(), &ServiceObjectIds()}) {
    keep(DeleteTree(ClassKey(*ids)));
    if (!OtherBitnessRegistered(*ids)) keep(DeleteTree(ids->progid));
  }
  return first;
}

// The values DllRegisterServer writes itself: the ProgIDs and the classes.
HRESULT WriteClassEntries(const std::wstring& path) {
  std::vector<table::Value> entries = table::ProgIdValues(Ids());
  for (const std::vector<table::Value>& more :
       {table::ClassValues(Ids(), path), table::ServiceObjectProgIdValues(ServiceObjectIds()),
        table::ServiceObjectClassValues(ServiceObjectIds(), path)}) {
    entries.insert(entries.end(), more.begin(), more.end());
  }
  for (const table::Value& entry : entries) {
    const HRESULT hr = SetValue(entry);
    if (FAILED(hr)) return hr;
  }
  return S_OK;
}

// Writes the type library key and the interface with the automation marshaller: what
// table::TypeLib*Values and table::InterfaceValues describe for the MSI.
HRESULT RegisterEmbeddedTypeLib(const std::wstring& path) {
  ComPtr<ITypeInfo> info;
  HRESULT hr = qel::com::CachedTypeInfo(qel::com::TypeId::kQelscale, info.put());
  if (FAILED(hr)) return hr;
  ComPtr<ITypeLib> library;
  UINT index = 0;
  hr = info->GetContainingTypeLib(library.put(), &index);
  if (FAILED(hr)) return hr;
  return ::RegisterTypeLib(library.get(), const_cast<LPOLESTR>(path.c_str()), nullptr);
}

HRESULT RegisterAll() {
  const std::wstring path = qel::com::ModulePath();
  if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
  const HRESULT hr = WriteClassEntries(path);
  if (FAILED(hr)) return hr;
  return RegisterEmbeddedTypeLib(path);
}

void RollBack() noexcept {
  try {
    UnregisterAll();
  } catch (...) {
    // Out of memory while cleaning up: nothing more can be done.
  }
}

}  // namespace

STDAPI DllRegisterServer() {
  try {
    const HRESULT hr = RegisterAll();
    if (FAILED(hr)) RollBack();
    return hr;
  } catch (...) {
    RollBack();
    return E_OUTOFMEMORY;
  }
}

STDAPI DllUnregisterServer() {
  try {
    return UnregisterAll();
  } catch (...) {
    return E_OUTOFMEMORY;
  }
}
