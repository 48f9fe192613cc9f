// Minimal self-checking for the Wine clients: each failed check prints where and why, and
// the process exit code tells the harness whether all passed.
#pragma once

#include <windows.h>

#include <cstdio>
#include <string>

namespace qeltest {

inline int& Failures() {
  static int failures = 0;
  return failures;
}

inline void Fail(const char* file, int line, const std::string& what) {
  std::printf("FAIL %s:%d: %s\n", file, line, what.c_str());
  std::fflush(stdout);
  ++Failures();
}

inline std::string Narrow(const std::wstring& wide) {
  if (wide.empty()) return {};
  const int size = ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                         nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<std::size_t>(size), '\0');
  ::WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), out.data(), size,
                        nullptr, nullptr);
  return out;
}

inline std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

}  // namespace qeltest

#define CHECK(cond)                                                     \
  do {                                                                  \
    if (!(cond)) qeltest::Fail(__FILE__, __LINE__, "CHECK(" #cond ")"); \
  } while (0)

#define CHECK_HR(expected, actual)                                                             \
  do {                                                                                         \
    const long check_expected_ = static_cast<long>(expected);                                  \
    const long check_actual_ = static_cast<long>(actual);                                      \
    if (check_expected_ != check_actual_)                                                      \
      qeltest::Fail(__FILE__, __LINE__,                                                        \
                    std::string(#actual " = ") + qeltest::Hex(check_actual_) + ", expected " + \
                        qeltest::Hex(check_expected_));                                        \
  } while (0)

#define CHECK_WSTR(expected, actual)                                                  \
  do {                                                                                \
    const std::wstring check_expected_(expected);                                     \
    const std::wstring check_actual_(actual);                                         \
    if (check_expected_ != check_actual_)                                             \
      qeltest::Fail(__FILE__, __LINE__,                                               \
                    std::string(#actual " = \"") + qeltest::Narrow(check_actual_) +   \
                        "\", expected \"" + qeltest::Narrow(check_expected_) + "\""); \
  } while (0)
