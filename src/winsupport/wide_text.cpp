#include "wide_text.h"

#include <windows.h>

#include <climits>

namespace qel::win {
namespace {

// The conversion APIs count in int; longer texts are cut rather than wrapped.
int CheckedLength(std::size_t size) {
  return size > static_cast<std::size_t>(INT_MAX) ? INT_MAX : static_cast<int>(size);
}

std::string FromWide(UINT code_page, std::wstring_view wide) {
  if (wide.empty()) return {};
  const int in = CheckedLength(wide.size());
  const int out =
      ::WideCharToMultiByte(code_page, 0, wide.data(), in, nullptr, 0, nullptr, nullptr);
  if (out <= 0) return {};
  std::string bytes(static_cast<std::size_t>(out), '\0');
  if (::WideCharToMultiByte(code_page, 0, wide.data(), in, bytes.data(), out, nullptr, nullptr) !=
      out) {
    return {};
  }
  return bytes;
}

}  // namespace

std::wstring Utf8ToWide(std::string_view utf8) {
  if (utf8.empty()) return {};
  const int in = CheckedLength(utf8.size());
  const int out = ::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, nullptr, 0);
  if (out <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(out), L'\0');
  if (::MultiByteToWideChar(CP_UTF8, 0, utf8.data(), in, wide.data(), out) != out) return {};
  return wide;
}

std::string WideToUtf8(std::wstring_view wide) { return FromWide(CP_UTF8, wide); }
std::string WideToAnsi(std::wstring_view wide) { return FromWide(CP_ACP, wide); }

}  // namespace qel::win
