// weightbench for Windows: Form1 as a plain Win32 window over the COM driver.
#include <windows.h>
// After windows.h, which it needs.
#include <commctrl.h>

#include <map>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "bench_form.h"
#include "com_driver.h"
#include "com_resource.h"
#include "wide_text.h"

namespace weightbench {
namespace {

using qel::win::Utf8ToWide;
using qel::win::WideToUtf8;

constexpr wchar_t kWindowClass[] = L"WeightbenchForm1";
constexpr int kFirstControlId = 100;  // clear of IDOK/IDCANCEL, which IsDialogMessage sends

struct FontDeleter {
  void operator()(HFONT font) const { DeleteObject(font); }
};
using UniqueFont = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

int WindowDpi(HWND hwnd) {
  // GetDpiForWindow exists from Windows 10 1607 on; earlier systems have one DPI for all.
  using GetDpiForWindowFn = UINT(WINAPI*)(HWND);
  static const auto get_dpi_for_window = reinterpret_cast<GetDpiForWindowFn>(
      reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), "GetDpiForWindow")));
  if (get_dpi_for_window != nullptr) {
    const UINT dpi = get_dpi_for_window(hwnd);
    if (dpi != 0) return static_cast<int>(dpi);
  }
  HDC dc = GetDC(hwnd);
  const int dpi = GetDeviceCaps(dc, LOGPIXELSY);
  ReleaseDC(hwnd, dc);
  return dpi > 0 ? dpi : 96;
}

class Form1Window : public View {
 public:
  Form1Window() : logic_(*this, factory_, PortNaming::kComOnly) {}

  bool Create(HINSTANCE instance, int show) {
    WNDCLASSEXW window_class = {};
    window_class.cbSize = sizeof(window_class);
    window_class.lpfnWndProc = &Form1Window::WindowProc;
    window_class.hInstance = instance;
    window_class.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(1));
    window_class.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512));  // IDC_ARROW
    window_class.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    window_class.lpszClassName = kWindowClass;
    if (RegisterClassExW(&window_class) == 0) return false;

    const DWORD style = WS_OVERLAPPED | WS_CAPTION | WS_SYSMENU | WS_MINIMIZEBOX;
    const std::wstring caption = Utf8ToWide(kFormCaption);
    hwnd_ = CreateWindowExW(0, kWindowClass, caption.c_str(), style, CW_USEDEFAULT, CW_USEDEFAULT,
                            CW_USEDEFAULT, CW_USEDEFAULT, nullptr, nullptr, instance, this);
    if (hwnd_ == nullptr) return false;

    // The client area is fixed in twips; size the frame around it at this window's DPI.
    dpi_ = WindowDpi(hwnd_);
    RECT rect = {0, 0, Px(kClientWidthTwips), Px(kClientHeightTwips)};
    AdjustWindowRectEx(&rect, style, FALSE, 0);
    SetWindowPos(hwnd_, nullptr, 0, 0, rect.right - rect.left, rect.bottom - rect.top,
                 SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);

    CreateFonts();
    CreateControls(instance);
    logic_.OnLoad();
    ShowWindow(hwnd_, show);
    UpdateWindow(hwnd_);
    return true;
  }

  HWND Handle() const { return hwnd_; }

  // View
  void SetCaption(ControlId control, const std::string& text) override {
    SetWindowTextW(controls_.at(control), Utf8ToWide(text).c_str());
  }
  void SetEnabled(ControlId control, bool enabled) override {
    EnableWindow(controls_.at(control), enabled ? TRUE : FALSE);
  }
  void SetComboItems(const std::vector<std::string>& items) override {
    HWND combo = controls_.at(ControlId::kComboPort);
    const std::string text = ComboText();
    SendMessageW(combo, CB_RESETCONTENT, 0, 0);
    for (const std::string& item : items) {
      const std::wstring wide = Utf8ToWide(item);
      SendMessageW(combo, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(wide.c_str()));
    }
    SetWindowTextW(combo, Utf8ToWide(text).c_str());
  }
  std::string ComboText() override {
    HWND combo = controls_.at(ControlId::kComboPort);
    const int length = GetWindowTextLengthW(combo);
    std::wstring text(static_cast<size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(combo, text.data(), length + 1);
    text.resize(static_cast<size_t>(copied > 0 ? copied : 0));
    return WideToUtf8(text);
  }
  void ShowMessage(const std::string& text, MessageIcon icon) override {
    const std::wstring caption = Utf8ToWide(kFormCaption);
    MessageBoxW(hwnd_, Utf8ToWide(text).c_str(), caption.c_str(),
                MB_OK | (icon == MessageIcon::kCritical ? MB_ICONERROR : 0u));
  }

 private:
  int Px(int twips) const { return TwipsToPixels(twips, dpi_); }

  void CreateFonts() {
    // The window's default font is the system's message font at this DPI.
    NONCLIENTMETRICSW metrics = {};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
      default_font_.reset(CreateFontIndirectW(&metrics.lfMessageFont));
    }
    LOGFONTW lbl_input = {};
    lbl_input.lfHeight = -MulDiv(kLblInputFontCentiPoints, dpi_, 72 * 100);
    lbl_input.lfWeight = kLblInputFontWeight;
    lbl_input.lfCharSet = static_cast<BYTE>(kLblInputFontCharset);
    const std::wstring face = Utf8ToWide(kLblInputFontFace);
    lstrcpynW(lbl_input.lfFaceName, face.c_str(), LF_FACESIZE);
    lbl_input_font_.reset(CreateFontIndirectW(&lbl_input));
  }

  // Children are added at the bottom of the Z order, which is also the Tab order: create
  // the controls by tab index and the frame last, beneath them.
  void CreateControls(HINSTANCE instance) {
    std::vector<const ControlEntry*> order;
    for (const ControlEntry& entry : kControls) {
      if (entry.id != ControlId::kFrame2) order.push_back(&entry);
    }
    order.push_back(&Entry(ControlId::kFrame2));
    for (const ControlEntry* entry : order) controls_[entry->id] = CreateControl(*entry, instance);
  }

  struct WindowKind {
    const wchar_t* window_class;
    DWORD style;
  };

  static WindowKind KindOf(ControlKind kind) {
    constexpr DWORD kChild = WS_CHILD | WS_VISIBLE | WS_CLIPSIBLINGS;
    switch (kind) {
      case ControlKind::kFrame:
        return {L"BUTTON", kChild | BS_GROUPBOX};
      case ControlKind::kLabel:
        return {L"STATIC", kChild | SS_LEFT | SS_NOPREFIX};
      case ControlKind::kComboBox:
        return {L"COMBOBOX", kChild | CBS_DROPDOWN | CBS_AUTOHSCROLL | WS_VSCROLL | WS_TABSTOP};
      case ControlKind::kButton:
        return {L"BUTTON", kChild | BS_PUSHBUTTON | WS_TABSTOP};
    }
    return {L"BUTTON", kChild};
  }

  struct Placement {
    int left;
    int top;
    int width;
    int height;
  };

  // Where the control's window goes in Form1's client area, in pixels at this DPI.
  Placement PlacementOf(const ControlEntry& entry) const {
    int left = Px(entry.left);
    int top = Px(entry.top);
    if (entry.id != ControlId::kFrame2) {
      // Positions are relative to the frame; the frame is a sibling drawn beneath them.
      const ControlEntry& frame = Entry(ControlId::kFrame2);
      left = Px(frame.left + entry.left);
      top = Px(frame.top + entry.top);
    }
    int height = Px(entry.height);
    if (entry.kind == ControlKind::kComboBox) height *= 8;  // room for the drop-down list
    return {left, top, Px(entry.width), height};
  }

  HWND CreateControl(const ControlEntry& entry, HINSTANCE instance) {
    const WindowKind kind = KindOf(entry.kind);
    const Placement place = PlacementOf(entry);
    const std::wstring caption = Utf8ToWide(entry.caption);
    const auto id = static_cast<INT_PTR>(kFirstControlId + static_cast<int>(entry.id));
    HWND control = CreateWindowExW(0, kind.window_class, caption.c_str(), kind.style, place.left,
                                   place.top, place.width, place.height, hwnd_,
                                   reinterpret_cast<HMENU>(id), instance, nullptr);
    const HFONT font =
        entry.id == ControlId::kLblInput ? lbl_input_font_.get() : default_font_.get();
    if (font != nullptr) SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    if (entry.kind == ControlKind::kComboBox) {
      FitClosedHeight(control, Px(entry.height));
      SetWindowTextW(control, caption.c_str());  // a combo box takes no text at creation
    }
    EnableWindow(control, entry.enabled_at_start ? TRUE : FALSE);
    return control;
  }

  // The closed combo box's height follows its selection field; the borders around it differ
  // between systems, so measure and correct.
  static void FitClosedHeight(HWND combo, int target) {
    for (int attempt = 0; attempt < 3; ++attempt) {
      RECT closed;
      GetWindowRect(combo, &closed);
      const int actual = static_cast<int>(closed.bottom - closed.top);
      if (actual == target) break;
      const auto field =
          static_cast<int>(SendMessageW(combo, CB_GETITEMHEIGHT, static_cast<WPARAM>(-1), 0));
      SendMessageW(combo, CB_SETITEMHEIGHT, static_cast<WPARAM>(-1), field + target - actual);
    }
  }

  void OnCommand(int id, int notification) {
    if (notification != BN_CLICKED) return;
    switch (id - kFirstControlId) {
      case static_cast<int>(ControlId::kCmdOn):
        logic_.OnCmdOnClick();
        break;
      case static_cast<int>(ControlId::kCmdSend):
        logic_.OnCmdSendClick();
        break;
      case static_cast<int>(ControlId::kCmdOff):
        logic_.OnCmdOffClick();
        break;
      default:
        break;
    }
  }

  LRESULT Handle(UINT message, WPARAM wparam, LPARAM lparam) {
    switch (message) {
      case WM_COMMAND:
        if (lparam != 0) OnCommand(LOWORD(wparam), HIWORD(wparam));
        return 0;
      case WM_CLOSE:
        // A driver call or message box is still on the stack; ending now would free the
        // object under it. The operator can close once it returns.
        if (logic_.Busy()) return 0;
        DestroyWindow(hwnd_);
        return 0;
      case WM_DESTROY:
        logic_.OnUnload();
        PostQuitMessage(0);
        return 0;
      default:
        return DefWindowProcW(hwnd_, message, wparam, lparam);
    }
  }

  static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wparam, LPARAM lparam) {
    if (message == WM_NCCREATE) {
      auto* create = reinterpret_cast<CREATESTRUCTW*>(lparam);
      auto* self = static_cast<Form1Window*>(create->lpCreateParams);
      self->hwnd_ = hwnd;
      SetWindowLongPtrW(hwnd, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<Form1Window*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
    if (self == nullptr) return DefWindowProcW(hwnd, message, wparam, lparam);
    return self->Handle(message, wparam, lparam);
  }

  HWND hwnd_ = nullptr;
  int dpi_ = 96;
  UniqueFont default_font_;
  UniqueFont lbl_input_font_;
  std::map<ControlId, HWND> controls_;
  ComDriverFactory factory_;
  BenchForm logic_;
};

}  // namespace
}  // namespace weightbench

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int show) {
  INITCOMMONCONTROLSEX common_controls = {sizeof(common_controls), ICC_STANDARD_CLASSES};
  InitCommonControlsEx(&common_controls);

  qel::win::ComApartment apartment;
  if (!apartment.ok()) return 1;

  // Declared after the apartment so that the driver object goes before CoUninitialize.
  weightbench::Form1Window form;
  if (!form.Create(instance, show)) return 1;

  MSG message;
  while (GetMessageW(&message, nullptr, 0, 0) > 0) {
    if (!IsDialogMessageW(form.Handle(), &message)) {
      TranslateMessage(&message);
      DispatchMessageW(&message);
    }
  }
  return static_cast<int>(message.wParam);
}
