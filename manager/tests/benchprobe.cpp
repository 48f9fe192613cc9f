// Test helper for the Wine bench tests: reads the bench's windows back from outside the
// process, as a screen reader would, and prints one JSON object per window.
//   benchprobe list          every visible top-level window with its children
//   benchprobe close HWND    asks a window to close (WM_CLOSE)
#include <windows.h>

#include <cstdio>
#include <cwchar>
#include <string>

#include "wide_text.h"

namespace {

std::string Json(const std::wstring& text) {
  std::string out = "\"";
  for (unsigned char c : qel::win::WideToUtf8(text)) {
    if (c == '"' || c == '\\') {
      out += '\\';
      out += static_cast<char>(c);
    } else if (c < 0x20) {
      char escaped[8];
      std::snprintf(escaped, sizeof(escaped), "\\u%04x", c);
      out += escaped;
    } else {
      out += static_cast<char>(c);
    }
  }
  return out + "\"";
}

// WM_GETTEXT is marshalled across processes, unlike GetWindowText for controls.
std::wstring TextOf(HWND hwnd) {
  DWORD_PTR length = 0;
  if (!SendMessageTimeoutW(hwnd, WM_GETTEXTLENGTH, 0, 0, SMTO_ABORTIFHUNG, 2000, &length)) {
    return {};
  }
  std::wstring text(length + 1, L'\0');
  DWORD_PTR copied = 0;
  SendMessageTimeoutW(hwnd, WM_GETTEXT, length + 1, reinterpret_cast<LPARAM>(text.data()),
                      SMTO_ABORTIFHUNG, 2000, &copied);
  text.resize(copied);
  return text;
}

std::wstring ClassOf(HWND hwnd) {
  wchar_t name[128] = {};
  GetClassNameW(hwnd, name, 128);
  return name;
}

std::string Rect(const RECT& r) {
  char text[96];
  std::snprintf(text, sizeof(text), "[%ld,%ld,%ld,%ld]", static_cast<long>(r.left),
                static_cast<long>(r.top), static_cast<long>(r.right - r.left),
                static_cast<long>(r.bottom - r.top));
  return text;
}

std::string Common(HWND hwnd) {
  RECT screen;
  GetWindowRect(hwnd, &screen);
  char head[160];
  std::snprintf(head, sizeof(head), "\"hwnd\":\"%llu\",\"style\":%lu,\"enabled\":%s,\"visible\":%s",
                static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hwnd)),
                static_cast<unsigned long>(GetWindowLongW(hwnd, GWL_STYLE)),
                IsWindowEnabled(hwnd) ? "true" : "false", IsWindowVisible(hwnd) ? "true" : "false");
  return std::string(head) + ",\"class\":" + Json(ClassOf(hwnd)) +
         ",\"text\":" + Json(TextOf(hwnd)) + ",\"screen\":" + Rect(screen);
}

BOOL CALLBACK PrintChild(HWND child, LPARAM top_level) {
  const HWND top = reinterpret_cast<HWND>(top_level);
  RECT rect;
  GetWindowRect(child, &rect);
  MapWindowPoints(nullptr, top, reinterpret_cast<POINT*>(&rect), 2);  // to the top's client area
  DWORD_PTR item_height = 0;
  if (ClassOf(child) == L"ComboBox") {
    SendMessageTimeoutW(child, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0, SMTO_ABORTIFHUNG, 2000,
                        &item_height);
  }
  // A message box keeps its icon control when it shows no icon; what counts is the image.
  DWORD_PTR icon = 0;
  if ((GetWindowLongW(child, GWL_STYLE) & SS_TYPEMASK) == SS_ICON) {
    SendMessageTimeoutW(child, STM_GETICON, 0, 0, SMTO_ABORTIFHUNG, 2000, &icon);
  }
  std::printf(
      "{\"kind\":\"child\",\"top\":\"%llu\",\"id\":%d,%s,\"client\":%s,\"field_height\":%d,\"has_"
      "icon\":%s}\n",
      static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(top)), GetDlgCtrlID(child),
      Common(child).c_str(), Rect(rect).c_str(), static_cast<int>(item_height),
      icon != 0 ? "true" : "false");
  return TRUE;
}

BOOL CALLBACK PrintTop(HWND hwnd, LPARAM) {
  if (!IsWindowVisible(hwnd)) return TRUE;
  RECT client;
  GetClientRect(hwnd, &client);
  HDC dc = GetDC(hwnd);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(hwnd, dc);
  // The keyboard focus of the window's thread, wherever the foreground is.
  GUITHREADINFO thread_info = {};
  thread_info.cbSize = sizeof(thread_info);
  GetGUIThreadInfo(GetWindowThreadProcessId(hwnd, nullptr), &thread_info);
  std::printf("{\"kind\":\"top\",%s,\"client_size\":[%ld,%ld],\"dpi\":%d,\"focus\":\"%llu\"}\n",
              Common(hwnd).c_str(), static_cast<long>(client.right),
              static_cast<long>(client.bottom), dpi,
              static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(thread_info.hwndFocus)));
  EnumChildWindows(hwnd, PrintChild, reinterpret_cast<LPARAM>(hwnd));
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc >= 2 && std::wcscmp(argv[1], L"list") == 0) {
    EnumWindows(PrintTop, 0);
    std::fflush(stdout);
    return 0;
  }
  if (argc >= 3 && std::wcscmp(argv[1], L"close") == 0) {
    const auto hwnd =
        reinterpret_cast<HWND>(static_cast<UINT_PTR>(_wcstoui64(argv[2], nullptr, 10)));
    return PostMessageW(hwnd, WM_CLOSE, 0, 0) ? 0 : 1;
  }
  std::fprintf(stderr, "usage: benchprobe list | close HWND\n");
  return 2;
}
