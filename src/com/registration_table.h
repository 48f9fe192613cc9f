// What registering the automation server writes, as one table for both writers:
// DllRegisterServer (registration.cpp) and the MSI's registry entries (tools/msi_registry).
// Portable C++ with no Windows header, so the host tool that writes the MSI's entries can
// build it. The GUIDs are not spelled here: each writer passes those of the MIDL-generated
// identifiers (Qel_weigher_i.c), formatted by GuidText.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qel::com {

inline constexpr wchar_t kProgId[] = L"Qel_weigher.Qelscale";

namespace registration {

// Names the type library gives (Qel_weigher.idl): the coclass, the library, its version and
// the dual interface.
inline constexpr wchar_t kClassName[] = L"Qelscale";
inline constexpr wchar_t kLibraryName[] = L"Qel_weigher";
inline constexpr wchar_t kLibraryVersion[] = L"1.0";
inline constexpr wchar_t kInterfaceName[] = L"_Qelscale";

// One value under HKEY_CLASSES_ROOT, in the registry view of the server's bitness.
struct Value {
  std::wstring key;
  std::wstring name;  // empty: the key's default value
  std::wstring data;  // REG_SZ
};

// The three identities of Qel_weigher.idl as registry text: "{XXXXXXXX-XXXX-...}".
struct Identities {
  std::wstring clsid;
  std::wstring libid;
  std::wstring iid;
};

// Any GUID-shaped structure (Windows' GUID, or the host tool's copy) as registry text.
template <class Guid>
std::wstring GuidText(const Guid& guid) {
  static constexpr wchar_t kHex[] = L"0123456789ABCDEF";
  std::wstring text = L"{";
  auto put = [&text](std::uint64_t value, int digits) {
    for (int shift = (digits - 1) * 4; shift >= 0; shift -= 4) {
      text += kHex[(value >> shift) & 0xF];
    }
  };
  put(guid.Data1, 8);
  text += L'-';
  put(guid.Data2, 4);
  text += L'-';
  put(guid.Data3, 4);
  text += L'-';
  for (int i = 0; i < 8; ++i) {
    if (i == 2) text += L'-';
    put(guid.Data4[i], 2);
  }
  return text + L"}";
}

// The server as the registry names it: the DLL's full path, its folder (no trailing
// backslash), and the type library's platform key ("win32" or "win64").
struct Server {
  std::wstring path;
  std::wstring folder;
  std::wstring platform;
};

// Written by DllRegisterServer itself: the ProgID. Its key is one for both registry views
// (as on Windows since 7, and in Wine): either server's registration writes the same values.
inline std::vector<Value> ProgIdValues(const Identities& ids) {
  const std::wstring progid = kProgId;
  return {
      {progid, L"", kClassName},
      {progid + L"\\CLSID", L"", ids.clsid},
  };
}

// Written by DllRegisterServer itself: the class with its in-process server, in the view of
// the server's bitness.
inline std::vector<Value> ClassValues(const Identities& ids, const std::wstring& server_path) {
  const std::wstring class_key = L"CLSID\\" + ids.clsid;
  return {
      {class_key, L"", kClassName},
      {class_key + L"\\InprocServer32", L"", server_path},
      {class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {class_key + L"\\ProgID", L"", kProgId},
      {class_key + L"\\TypeLib", L"", ids.libid},
      {class_key + L"\\VERSION", L"", kLibraryVersion},
  };
}

// The system's automation marshaller (PSOAInterface): not one of ours, but the proxy/stub
// that RegisterTypeLib names for every dual or oleautomation interface.
inline constexpr wchar_t kAutomationMarshaller[] = L"{00020424-0000-0000-C000-000000000046}";

// Written by RegisterTypeLib, which DllRegisterServer calls for the embedded type library:
// the interface, in the server's view (RegisterTypeLib of a 64-bit server writes it in both).
inline std::vector<Value> InterfaceValues(const Identities& ids) {
  const std::wstring key = L"Interface\\" + ids.iid;
  return {
      {key, L"", kInterfaceName},
      {key + L"\\ProxyStubClsid", L"", kAutomationMarshaller},
      {key + L"\\ProxyStubClsid32", L"", kAutomationMarshaller},
      {key + L"\\TypeLib", L"", ids.libid},
      {key + L"\\TypeLib", L"Version", kLibraryVersion},
  };
}

// Written by RegisterTypeLib: the library's file for one platform.
inline std::vector<Value> TypeLibPlatformValues(const Identities& ids, const Server& server) {
  return {{L"TypeLib\\" + ids.libid + L"\\" + kLibraryVersion + L"\\0\\" + server.platform, L"",
           server.path}};
}

// Written by RegisterTypeLib: the library's shared entries (the TypeLib key is one for both
// views), by the server that registers first (under Wine a later registration leaves them
// as they are). FLAGS is LIBFLAG_FHASDISKIMAGE, the flag widl and MIDL give a library
// compiled into a file.
inline std::vector<Value> TypeLibSharedValues(const Identities& ids, const Server& server) {
  const std::wstring key = L"TypeLib\\" + ids.libid + L"\\" + kLibraryVersion;
  return {
      {key, L"", kLibraryName},
      {key + L"\\FLAGS", L"", L"8"},
      {key + L"\\HELPDIR", L"", server.folder},
  };
}

}  // namespace registration
}  // namespace qel::com
