// Catches the message boxes a thread shows, records what they say and presses OK, so that a
// driver call that reports a device failure never blocks the test.
#pragma once

#include <windows.h>

#include <string>
#include <vector>

#include "test_handles.h"

namespace qeltest {

struct SeenBox {
  std::wstring text;
  std::wstring caption;
  bool has_icon = false;
  bool has_cancel = false;
};

class MessageBoxWatch {
 public:
  MessageBoxWatch();  // hooks the calling thread only
  ~MessageBoxWatch();
  MessageBoxWatch(const MessageBoxWatch&) = delete;
  MessageBoxWatch& operator=(const MessageBoxWatch&) = delete;

  std::vector<SeenBox> Take();

  // While holding, boxes are recorded but stay up until Answer().
  void Hold(bool hold) { hold_ = hold; }
  std::size_t HeldCount() const { return held_.size(); }
  void Answer();

 private:
  static LRESULT CALLBACK Hook(int code, WPARAM wparam, LPARAM lparam);
  WindowsHook hook_;
  std::vector<SeenBox> seen_;
  MessageBoxWatch* previous_ = nullptr;
  bool hold_ = false;
  std::vector<HWND> held_;
};

}  // namespace qeltest
