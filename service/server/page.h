// The page served at "/": one self-contained HTML document (no external assets).
#pragma once

namespace qeld {

extern const char kPageHtml[];

}  // namespace qeld
