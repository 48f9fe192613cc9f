// Minimal self-checking for the Wine clients: each failed check prints where and why, and
// the process exit code tells the harness whether all passed.
//
// A helper that checks on a test's behalf takes the test's place (`const qeltest::Where&`,
// passed by a macro wrapper as QEL_HERE) and uses the *_AT checks, so that a failure names
// the test line that called it rather than a line inside the helper.
#pragma once

#include <cstdio>
#include <string>

#include "wide_text.h"

namespace qeltest {

struct Where {
  const char* file;
  int line;
};

inline int& Failures() {
  static int failures = 0;
  return failures;
}

inline void Fail(const Where& at, const std::string& what) {
  std::printf("FAIL %s:%d: %s\n", at.file, at.line, what.c_str());
  std::fflush(stdout);
  ++Failures();
}

inline std::string Hex(long value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(value));
  return text;
}

inline void CheckHr(const Where& at, long expected, long actual, const char* what) {
  if (expected != actual) {
    Fail(at, std::string(what) + " = " + Hex(actual) + ", expected " + Hex(expected));
  }
}

inline void CheckWstr(const Where& at, const std::wstring& expected, const std::wstring& actual,
                      const char* what) {
  if (expected != actual) {
    Fail(at, std::string(what) + " = \"" + qel::win::WideToUtf8(actual) + "\", expected \"" +
                 qel::win::WideToUtf8(expected) + "\"");
  }
}

}  // namespace qeltest

#define QEL_HERE (qeltest::Where{__FILE__, __LINE__})

// Each macro spells out its own arguments, so that a failure quotes them as written.
#define QEL_CHECK(at, cond, text)                        \
  do {                                                   \
    if (!(cond)) qeltest::Fail((at), "CHECK(" text ")"); \
  } while (0)
#define QEL_CHECK_HR(at, expected, actual, text) \
  qeltest::CheckHr((at), static_cast<long>(expected), static_cast<long>(actual), text)
#define QEL_CHECK_WSTR(at, expected, actual, text) \
  qeltest::CheckWstr((at), std::wstring(expected), std::wstring(actual), text)

#define CHECK(cond) QEL_CHECK(QEL_HERE, cond, #cond)
#define CHECK_HR(expected, actual) QEL_CHECK_HR(QEL_HERE, expected, actual, #actual)
#define CHECK_WSTR(expected, actual) QEL_CHECK_WSTR(QEL_HERE, expected, actual, #actual)
#define CHECK_AT(at, cond) QEL_CHECK(at, cond, #cond)
#define CHECK_HR_AT(at, expected, actual) QEL_CHECK_HR(at, expected, actual, #actual)
#define CHECK_WSTR_AT(at, expected, actual) QEL_CHECK_WSTR(at, expected, actual, #actual)
