#include "win32_services.h"

#include <windows.h>

#include <string>

#include "platform_services.h"
#include "wide_text.h"

namespace qel::win32 {

void Win32MessageBox::Show(std::string_view text, std::string_view caption, MessageIcon icon) {
  const UINT style = MB_OK | (icon == MessageIcon::kCritical ? MB_ICONERROR : 0);
  // Owned by the client's active window, so the box is modal to it and cannot end up
  // hidden behind it; a client without a window (a script host) gets an unowned box.
  ::MessageBoxW(::GetActiveWindow(), win::Utf8ToWide(text).c_str(),
                win::Utf8ToWide(caption).c_str(), style);
}

NumberFormat Win32Locale::UserNumberFormat() {
  NumberFormat format;
  wchar_t value[16] = {};
  if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, value, 16) > 0 && value[0] != 0) {
    format.decimal_separator = win::WideToUtf8(value);
  }
  if (::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_ILZERO, value, 16) > 0) {
    format.leading_zero = value[0] != L'0';
  }
  return format;
}

void Win32Sleeper::SleepMs(std::uint32_t milliseconds) { ::Sleep(milliseconds); }

}  // namespace qel::win32

namespace qel {

Services& PlatformServices() {
  static win32::Win32Serial serial;
  static win32::Win32MessageBox messages;
  static win32::Win32Locale locale;
  static win32::Win32Sleeper sleeper;
  static win32::TlsLinkStateStore states;
  static Services services{serial, messages, locale, sleeper, states};
  return services;
}

}  // namespace qel
