// The page served at "/": one self-contained HTML document (no external assets).
#pragma once

namespace qeld {

extern const char kPageHtml[];
// Its Content-Security-Policy: its inline script and style by their hashes, nothing else.
extern const char kPagePolicy[];

}  // namespace qeld
