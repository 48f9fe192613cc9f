// The bench window's layout as data: both toolkits build Form1 from this table and the
// layout tests compare what they built against it.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace weightbench {

enum class ControlId {
  kFrame2,
  kLabel1,
  kComboPort,
  kCmdOn,
  kCmdSend,
  kLabel4,
  kLblInput,
  kCmdOff
};

enum class ControlKind { kFrame, kLabel, kComboBox, kButton };

struct ControlEntry {
  ControlId id;
  std::string_view name;
  ControlKind kind;
  std::string_view caption;  // UTF-8; for the combo box its text
  // Twips. Frame2 is placed in the form's client area, every other control in Frame2.
  int left;
  int top;
  int width;
  int height;
  int tab_index;
  bool enabled_at_start;
};

inline constexpr std::string_view kFormName = "Form1";
inline constexpr std::string_view kFormCaption = "weightbench";
inline constexpr int kClientWidthTwips = 4230;
inline constexpr int kClientHeightTwips = 2565;
inline constexpr int kTwipsPerInch = 1440;

// The window's default font size, which every control but LblInput uses.
inline constexpr double kFormFontPoints = 8.0;

// LblInput's own font; every other control keeps the window's default font.
inline constexpr std::string_view kLblInputFontFace = "MS Sans Serif";
inline constexpr int kLblInputFontCentiPoints = 975;
inline constexpr int kLblInputFontWeight = 400;   // normal
inline constexpr int kLblInputFontCharset = 204;  // Cyrillic (RUSSIAN_CHARSET)

// Listed in tab-index order; "Тест", "СОМ-порт" etc. are Cyrillic.
inline constexpr std::array<ControlEntry, 8> kControls = {{
    {ControlId::kFrame2, "Frame2", ControlKind::kFrame, "Тест", 120, 120, 3975, 2295, 0, true},
    {ControlId::kCmdOff, "CmdOff", ControlKind::kButton, "Отключить DLL", 240, 1680, 3495, 375, 1,
     true},
    {ControlId::kCmdOn, "CmdOn", ControlKind::kButton, "Подключить DLL", 240, 720, 3495, 375, 2,
     true},
    {ControlId::kCmdSend, "CmdSend", ControlKind::kButton, "ЗАПРОС", 240, 1200, 1095, 375, 3,
     false},
    {ControlId::kLblInput, "LblInput", ControlKind::kLabel, "", 2040, 1200, 1695, 375, 4, true},
    {ControlId::kLabel4, "Label4", ControlKind::kLabel, "Ответ", 1440, 1320, 495, 255, 5, true},
    {ControlId::kComboPort, "ComboPort", ControlKind::kComboBox, "1", 3120, 240, 615, 315, 6, true},
    {ControlId::kLabel1, "Label1", ControlKind::kLabel, "СОМ-порт", 2040, 300, 855, 255, 7, true},
}};

const ControlEntry& Entry(ControlId id);

// Pixels for a length in twips at `dpi` dots per inch, rounded to the nearest pixel.
constexpr int TwipsToPixels(int twips, int dpi) {
  const long long scaled = static_cast<long long>(twips) * dpi;
  return static_cast<int>((scaled >= 0 ? scaled + kTwipsPerInch / 2 : scaled - kTwipsPerInch / 2) /
                          kTwipsPerInch);
}

}  // namespace weightbench
