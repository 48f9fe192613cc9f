# Writes OUTPUT: the web bundle (SCRIPT) and the wasm (WASM) as byte arrays for the service.
function(qel_byte_array name path result)
  file(READ ${path} hex HEX)
  string(LENGTH "${hex}" digits)
  math(EXPR size "${digits} / 2")
  string(REGEX REPLACE "([0-9a-f][0-9a-f])" "0x\\1," bytes "${hex}")
  string(REGEX REPLACE "(0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,0x..,)"
         "\\1\n" bytes "${bytes}")
  set(${result} "const unsigned char ${name}[${size}] = {\n${bytes}};\n" PARENT_SCOPE)
endfunction()

qel_byte_array(kScript ${SCRIPT} script)
qel_byte_array(kWasm ${WASM} wasm)
file(WRITE ${OUTPUT}.tmp "// Generated from the web package's build; edit web/.
#include \"web_assets.h\"

namespace qeld {
namespace {
${script}${wasm}}  // namespace

std::string_view WebScript() { return {reinterpret_cast<const char*>(kScript), sizeof kScript}; }
std::string_view WebWasm() { return {reinterpret_cast<const char*>(kWasm), sizeof kWasm}; }

}  // namespace qeld
")
file(COPY_FILE ${OUTPUT}.tmp ${OUTPUT} ONLY_IF_DIFFERENT)
