// What registering the automation server writes, as one table for both writers:
// DllRegisterServer (registration.cpp) and the MSI's registry entries
// (packaging/windows/msi_registry.cpp). It needs only the GUID type and StringFromGUID2, so the
// build-machine tool that writes the MSI's entries compiles it against stand-ins for those
// (packaging/windows/shim). No identity is spelled here: each writer passes those of
// Qel_weigher.idl, the MIDL-generated identifiers and QEL_PROGID.
#pragma once

#include <objbase.h>

#include <string>
#include <vector>

namespace qel::com::registration {

// Names the type library gives (Qel_weigher.idl): the coclass, the library, its version and
// the dual interface.
inline constexpr wchar_t kClassName[] = L"Qelscale";
inline constexpr wchar_t kLibraryName[] = L"Qel_weigher";
inline constexpr wchar_t kLibraryVersion[] = L"1.0";
inline constexpr wchar_t kInterfaceName[] = L"_Qelscale";

// The system's automation marshaller (PSOAInterface): not one of ours, but the proxy/stub
// that RegisterTypeLib names for every dual or oleautomation interface. No SDK header
// declares it, so its value is given here, once.
inline constexpr GUID kAutomationMarshaller = {
    0x00020424, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// One value under HKEY_CLASSES_ROOT, in the registry view of the server's bitness.
struct Value {
  std::wstring key;
  std::wstring name;  // empty: the key's default value
  std::wstring data;  // REG_SZ
};

// A GUID as the registry writes it: "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}".
inline std::wstring GuidText(const GUID& guid) {
  wchar_t text[39];  // the braces, 36 characters and the terminator
  const int length = StringFromGUID2(guid, text, 39);
  return std::wstring(text, length > 0 ? static_cast<std::size_t>(length - 1) : 0);
}

// The identities of Qel_weigher.idl as registry text.
struct Identities {
  Identities(const wchar_t* progid_text, const GUID& clsid_guid, const GUID& libid_guid,
             const GUID& iid_guid)
      : progid(progid_text),
        clsid(GuidText(clsid_guid)),
        libid(GuidText(libid_guid)),
        iid(GuidText(iid_guid)) {}

  std::wstring progid;
  std::wstring clsid;
  std::wstring libid;
  std::wstring iid;
};

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
  return {
      {ids.progid, L"", kClassName},
      {ids.progid + L"\\CLSID", L"", ids.clsid},
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
      {class_key + L"\\ProgID", L"", ids.progid},
      {class_key + L"\\TypeLib", L"", ids.libid},
      {class_key + L"\\VERSION", L"", kLibraryVersion},
  };
}

// The Scale service object's class: a Control Object finds it by its ProgID and calls it by
// name, so it has no type library entries. Written by DllRegisterServer beside Qelscale's.
inline constexpr wchar_t kServiceObjectClassName[] = L"OposScale";

inline std::vector<Value> ServiceObjectProgIdValues(const Identities& ids) {
  return {
      {ids.progid, L"", kServiceObjectClassName},
      {ids.progid + L"\\CLSID", L"", ids.clsid},
  };
}

inline std::vector<Value> ServiceObjectClassValues(const Identities& ids,
                                                   const std::wstring& server_path) {
  const std::wstring class_key = L"CLSID\\" + ids.clsid;
  return {
      {class_key, L"", kServiceObjectClassName},
      {class_key + L"\\InprocServer32", L"", server_path},
      {class_key + L"\\InprocServer32", L"ThreadingModel", L"Apartment"},
      {class_key + L"\\ProgID", L"", ids.progid},
  };
}

// Written by RegisterTypeLib, which DllRegisterServer calls for the embedded type library:
// the interface, in the server's view (RegisterTypeLib of a 64-bit server writes it in both).
inline std::vector<Value> InterfaceValues(const Identities& ids) {
  const std::wstring key = L"Interface\\" + ids.iid;
  const std::wstring marshaller = GuidText(kAutomationMarshaller);
  return {
      {key, L"", kInterfaceName},
      {key + L"\\ProxyStubClsid", L"", marshaller},
      {key + L"\\ProxyStubClsid32", L"", marshaller},
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

}  // namespace qel::com::registration
