// The JavaScript package's browser bundle and wasm, served at /qelscale.js and
// /qelscale.wasm so a page loads the version that matches its service. Empty in a build made
// without the web tools; the service then answers those paths with 404.
#pragma once

#include <string_view>

namespace qeld {

std::string_view WebScript();
std::string_view WebWasm();

}  // namespace qeld
