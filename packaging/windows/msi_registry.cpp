// Prints the COM registration of one Qel_weigher.dll as MSI registry entries: a wixl include
// file of <RegistryValue> elements, made from the same table that DllRegisterServer writes
// (registration_table.h) and the identities of Qel_weigher.idl: the GUIDs of the
// MIDL-generated identifiers and the ProgID (QEL_PROGID, which CMake takes from the IDL).
//
//   qel_msi_registry libid
//   qel_msi_registry values --platform win32|win64 --path TEXT --folder TEXT [--shared]
//
// --path and --folder are MSI formatted text for the installed DLL and its folder, e.g.
// "[#Qel_weigher.dll.x64]" and "[INSTALLDIR64]". --shared adds the entries that both registry
// views share, the ProgID and the type library's own (one component of the package writes
// them, in the 64-bit view).
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "registration_table.h"

// Qel_weigher_i.c defines them; the header that declares them (Qel_weigher.h) needs the
// Windows headers.
extern "C" const CLSID CLSID_Qelscale;
extern "C" const IID LIBID_Qel_weigher;
extern "C" const IID IID__Qelscale;
extern "C" const CLSID CLSID_OposScale;
extern "C" const IID DIID__OposScale;

namespace {

namespace table = qel::com::registration;

// The table's texts are ASCII; the formatted texts given on the command line are UTF-8 and
// pass through byte for byte.
std::wstring Widen(const std::string& text) { return std::wstring(text.begin(), text.end()); }
std::string Narrow(const std::wstring& text) {
  std::string out;
  for (wchar_t c : text) out += static_cast<char>(c);
  return out;
}

std::string Xml(const std::wstring& text) {
  std::string out;
  for (char c : Narrow(text)) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

table::Identities Ids() {
  return table::Identities(QEL_PROGID, CLSID_Qelscale, LIBID_Qel_weigher, IID__Qelscale);
}

// The Scale service object's class, which DllRegisterServer writes beside Qelscale's.
table::Identities ServiceObjectIds() {
  return table::Identities(QEL_OPOS_PROGID, CLSID_OposScale, LIBID_Qel_weigher, DIID__OposScale);
}

int Usage() {
  std::fputs(
      "usage: qel_msi_registry libid\n"
      "       qel_msi_registry values --platform win32|win64 --path TEXT --folder TEXT "
      "[--shared]\n",
      stderr);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "libid") == 0) {
    std::printf("%s\n", Narrow(Ids().libid).c_str());
    return 0;
  }
  if (argc < 2 || std::strcmp(argv[1], "values") != 0) return Usage();
  table::Server server;
  bool shared = false;
  for (int i = 2; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--shared") {
      shared = true;
    } else if (arg == "--platform" && has_value) {
      server.platform = Widen(argv[++i]);
    } else if (arg == "--path" && has_value) {
      server.path = Widen(argv[++i]);
    } else if (arg == "--folder" && has_value) {
      server.folder = Widen(argv[++i]);
    } else {
      return Usage();
    }
  }
  if ((server.platform != L"win32" && server.platform != L"win64") || server.path.empty() ||
      server.folder.empty()) {
    return Usage();
  }

  const table::Identities ids = Ids();
  std::vector<table::Value> values;
  if (shared) values = table::ProgIdValues(ids);
  const auto class_values = table::ClassValues(ids, server.path);
  values.insert(values.end(), class_values.begin(), class_values.end());
  if (shared) {
    const auto progid = table::ServiceObjectProgIdValues(ServiceObjectIds());
    values.insert(values.end(), progid.begin(), progid.end());
  }
  const auto service_object = table::ServiceObjectClassValues(ServiceObjectIds(), server.path);
  values.insert(values.end(), service_object.begin(), service_object.end());
  const auto interface = table::InterfaceValues(ids);
  values.insert(values.end(), interface.begin(), interface.end());
  const auto platform = table::TypeLibPlatformValues(ids, server);
  values.insert(values.end(), platform.begin(), platform.end());
  if (shared) {
    const auto common = table::TypeLibSharedValues(ids, server);
    values.insert(values.end(), common.begin(), common.end());
  }

  std::printf(
      "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      "<!-- Made by qel_msi_registry from src/com/registration_table.h (%s): do not edit. -->\n"
      "<Include xmlns=\"http://schemas.microsoft.com/wix/2006/wi\">\n",
      Narrow(server.platform).c_str());
  for (const table::Value& value : values) {
    std::printf(
        "  <RegistryValue Root=\"HKLM\" Key=\"Software\\Classes\\%s\"%s%s%s Type=\"string\""
        " Value=\"%s\" />\n",
        Xml(value.key).c_str(), value.name.empty() ? "" : " Name=\"", Xml(value.name).c_str(),
        value.name.empty() ? "" : "\"", Xml(value.data).c_str());
  }
  std::printf("</Include>\n");
  return 0;
}
