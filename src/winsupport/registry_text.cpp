#include "registry_text.h"

#include "unique_resource.h"

namespace qel::win {
namespace {

UniqueHkey OpenForReading(HKEY root, const wchar_t* path) {
  UniqueHkey key;
  if (::RegOpenKeyExW(root, path, 0, KEY_READ | KEY_WOW64_64KEY, key.put()) != ERROR_SUCCESS) {
    key.reset();
  }
  return key;
}

// A registry string need not end in a NUL, and may end in several.
std::wstring Trimmed(const wchar_t* data, std::size_t chars) {
  std::wstring text(data, chars);
  while (!text.empty() && text.back() == L'\0') text.pop_back();
  return text;
}

}  // namespace

RegistryText ReadRegistryText(HKEY root, const wchar_t* path, const wchar_t* value) {
  const UniqueHkey key = OpenForReading(root, path);
  if (!key) return {};
  constexpr DWORD kTexts = RRF_RT_REG_SZ | RRF_RT_REG_EXPAND_SZ | RRF_NOEXPAND;
  DWORD bytes = 0;
  LSTATUS status = ::RegGetValueW(key.get(), nullptr, value, kTexts, nullptr, nullptr, &bytes);
  if (status == ERROR_FILE_NOT_FOUND) return {};
  std::wstring buffer(bytes / sizeof(wchar_t) + 1, L'\0');
  if (status == ERROR_SUCCESS) {
    bytes = static_cast<DWORD>(buffer.size() * sizeof(wchar_t));
    status = ::RegGetValueW(key.get(), nullptr, value, kTexts, nullptr, buffer.data(), &bytes);
  }
  if (status != ERROR_SUCCESS) {
    return {std::nullopt, "cannot be read as text (error " + std::to_string(status) + ")"};
  }
  return {Trimmed(buffer.data(), bytes / sizeof(wchar_t)), {}};
}

std::vector<std::pair<std::wstring, std::wstring>> ReadRegistryTexts(HKEY root,
                                                                     const wchar_t* path) {
  std::vector<std::pair<std::wstring, std::wstring>> texts;
  const UniqueHkey key = OpenForReading(root, path);
  DWORD count = 0, name_chars = 0, data_bytes = 0;
  if (!key ||
      ::RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, &count,
                         &name_chars, &data_bytes, nullptr, nullptr) != ERROR_SUCCESS) {
    return texts;
  }
  std::wstring name(name_chars + 1, L'\0');
  std::wstring data(data_bytes / sizeof(wchar_t) + 1, L'\0');
  for (DWORD i = 0; i < count; ++i) {
    DWORD name_size = static_cast<DWORD>(name.size());
    DWORD data_size = static_cast<DWORD>(data.size() * sizeof(wchar_t));
    DWORD type = 0;
    if (::RegEnumValueW(key.get(), i, name.data(), &name_size, nullptr, &type,
                        reinterpret_cast<BYTE*>(data.data()), &data_size) != ERROR_SUCCESS ||
        (type != REG_SZ && type != REG_EXPAND_SZ)) {
      continue;
    }
    texts.emplace_back(std::wstring(name.data(), name_size),
                       Trimmed(data.data(), data_size / sizeof(wchar_t)));
  }
  return texts;
}

}  // namespace qel::win
