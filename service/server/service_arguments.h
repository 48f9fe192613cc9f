// The arguments the service manager's run of qelscaled takes: a command line an administrator
// stores in the registry (the MSI writes QELSCALED_ARGS there), read at every start.
#pragma once

#include <string>
#include <vector>

namespace qeld {

// Under HKEY_LOCAL_MACHINE, 64-bit view; the value is a REG_SZ command line.
inline constexpr wchar_t kArgumentsKey[] = L"Software\\Qel_weigher\\qelscaled";
inline constexpr wchar_t kArgumentsValue[] = L"Arguments";
inline constexpr char kArgumentsPlace[] = "HKLM\\Software\\Qel_weigher\\qelscaled, value Arguments";

struct StoredArguments {
  std::vector<std::string> arguments;  // UTF-8, without the program's name
  std::string error;                   // set: the value is there and cannot be used
};

// The stored command line split as Windows splits one (quotes group, backslashes escape
// quotes); none stored: empty.
StoredArguments ReadStoredArguments();
// `command_line` split the same way.
std::vector<std::string> SplitCommandLine(const std::wstring& command_line);

}  // namespace qeld
