#include <windows.h>
// After windows.h, which it needs.
#include <shellapi.h>

#include "registry_text.h"
#include "service_arguments.h"
#include "system_handles.h"
#include "wide_text.h"

namespace qeld {

std::vector<std::string> SplitCommandLine(const std::wstring& command_line) {
  // CommandLineToArgvW reads its first word as a program path, with other rules, and an
  // empty line as "this program": a name is put first and dropped.
  const std::wstring line = L"qelscaled " + command_line;
  int count = 0;
  const qel::win::UniqueLocal<LPWSTR> words(::CommandLineToArgvW(line.c_str(), &count));
  std::vector<std::string> arguments;
  for (int i = 1; words && i < count; ++i) {
    arguments.push_back(qel::win::WideToUtf8(words.get()[i]));
  }
  return arguments;
}

StoredArguments ReadStoredArguments() {
  const qel::win::RegistryText stored =
      qel::win::ReadRegistryText(HKEY_LOCAL_MACHINE, kArgumentsKey, kArgumentsValue);
  if (!stored.error.empty()) return {{}, std::string(kArgumentsPlace) + " " + stored.error};
  if (!stored.text) return {};
  return {SplitCommandLine(*stored.text), {}};
}

}  // namespace qeld
