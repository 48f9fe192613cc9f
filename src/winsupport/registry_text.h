// Reading texts from the registry, as the service's settings and the serial port map hold
// them. Errors come back as values: a missing key or value is not an error, just nothing.
#pragma once

#include <windows.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace qel::win {

struct RegistryText {
  std::optional<std::wstring> text;  // nullopt: no such key or value
  std::string error;                 // set: the value exists and cannot be read as text
};

// The REG_SZ or REG_EXPAND_SZ (not expanded) `value` of `root\path`, in the 64-bit view on a
// 64-bit system whatever our own bitness.
RegistryText ReadRegistryText(HKEY root, const wchar_t* path, const wchar_t* value);

// Every text value of `root\path` as (name, text), in the key's order; other types are
// skipped. Empty when the key is missing.
std::vector<std::pair<std::wstring, std::wstring>> ReadRegistryTexts(HKEY root,
                                                                     const wchar_t* path);

}  // namespace qel::win
