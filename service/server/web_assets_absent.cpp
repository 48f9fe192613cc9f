// A build without the web tools serves no bundle.
#include "web_assets.h"

namespace qeld {

std::string_view WebScript() { return {}; }
std::string_view WebWasm() { return {}; }

}  // namespace qeld
