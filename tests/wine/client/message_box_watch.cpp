#include "message_box_watch.h"

namespace qeltest {
namespace {

// One watch per thread; the hook procedure finds it here. Plain pointer, no destructor.
thread_local MessageBoxWatch* t_watch = nullptr;

bool IconShown(HWND box) {
  // Windows gives the icon control id 0x14, Wine stc1 (0x440); either counts when it is
  // visible and holds an icon.
  for (const int id : {0x14, 0x440}) {
    const HWND icon = ::GetDlgItem(box, id);
    if (icon && ::IsWindowVisible(icon) && ::SendMessageW(icon, STM_GETICON, 0, 0) != 0) {
      return true;
    }
  }
  return false;
}

std::wstring WindowText(HWND window) {
  wchar_t text[1024] = {};
  ::GetWindowTextW(window, text, 1024);
  return text;
}

void PressOk(HWND box) {
  ::PostMessageW(box, WM_COMMAND, MAKEWPARAM(IDOK, BN_CLICKED),
                 reinterpret_cast<LPARAM>(::GetDlgItem(box, IDOK)));
}

}  // namespace

MessageBoxWatch::MessageBoxWatch() : previous_(t_watch) {
  t_watch = this;
  hook_.reset(::SetWindowsHookExW(WH_CBT, Hook, nullptr, ::GetCurrentThreadId()));
}

MessageBoxWatch::~MessageBoxWatch() {
  hook_.reset();
  t_watch = previous_;
}

void MessageBoxWatch::Answer() {
  for (const HWND box : held_) PressOk(box);
  held_.clear();
}

std::vector<SeenBox> MessageBoxWatch::Take() {
  std::vector<SeenBox> seen;
  seen.swap(seen_);
  return seen;
}

LRESULT CALLBACK MessageBoxWatch::Hook(int code, WPARAM wparam, LPARAM lparam) {
  if (code == HCBT_ACTIVATE && t_watch) {
    const HWND box = reinterpret_cast<HWND>(wparam);
    wchar_t class_name[64] = {};
    ::GetClassNameW(box, class_name, 64);
    if (std::wstring(class_name) == L"#32770") {
      SeenBox seen;
      wchar_t text[1024] = {};
      ::GetDlgItemTextW(box, 0xFFFF, text, 1024);
      seen.text = text;
      seen.caption = WindowText(box);
      seen.has_icon = IconShown(box);
      seen.has_cancel =
          ::GetDlgItem(box, IDCANCEL) != nullptr && ::IsWindowVisible(::GetDlgItem(box, IDCANCEL));
      t_watch->seen_.push_back(seen);
      if (t_watch->hold_) {
        t_watch->held_.push_back(box);
      } else {
        PressOk(box);
      }
    }
  }
  return ::CallNextHookEx(nullptr, code, wparam, lparam);
}

}  // namespace qeltest
