// Text conversions at the Win32 boundary. Our code keeps its texts in UTF-8; the system takes
// UTF-16 for the wide APIs and the ANSI code page for the byte ones. A text the system cannot
// convert comes back empty rather than half converted.
#pragma once

#include <string>
#include <string_view>

namespace qel::win {

std::wstring Utf8ToWide(std::string_view utf8);
std::string WideToUtf8(std::wstring_view wide);
// Characters the ANSI code page cannot show become the system's default character.
std::string WideToAnsi(std::wstring_view wide);

}  // namespace qel::win
