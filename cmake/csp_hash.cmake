# The Content-Security-Policy source 'sha256-BASE64' of an inline <script> or <style>: the
# page keeps its script inline and still runs under a policy that allows no other script.

# Base64 of the 32-byte digest, whose hex `hex` has 64 digits: ten groups of three bytes,
# then one of two bytes and its "=".
function(qel_hex_digest_to_base64 out hex)
  set(alphabet "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/")
  set(text "")
  foreach(start RANGE 0 60 6)
    string(SUBSTRING "${hex}" ${start} 6 group)
    string(LENGTH "${group}" digits)
    if(digits EQUAL 4)
      string(APPEND group "00")
    endif()
    math(EXPR value "0x${group}")
    foreach(shift 18 12 6 0)
      math(EXPR index "(${value} >> ${shift}) & 63")
      string(SUBSTRING "${alphabet}" ${index} 1 letter)
      string(APPEND text "${letter}")
    endforeach()
  endforeach()
  string(SUBSTRING "${text}" 0 43 text)
  set(${out} "${text}=" PARENT_SCOPE)
endfunction()

# The source for the text between the first `open` in `html` and the `close` after it (a
# <script src> before it has a close of its own).
function(qel_csp_inline_hash out html open close)
  string(FIND "${html}" "${open}" begin)
  if(begin EQUAL -1)
    message(FATAL_ERROR "the page has no ${open}...${close}")
  endif()
  string(LENGTH "${open}" skip)
  math(EXPR begin "${begin} + ${skip}")
  string(SUBSTRING "${html}" ${begin} -1 rest)
  string(FIND "${rest}" "${close}" length)
  if(length EQUAL -1)
    message(FATAL_ERROR "the page has no ${open}...${close}")
  endif()
  string(SUBSTRING "${rest}" 0 ${length} inline)
  string(SHA256 hex "${inline}")
  qel_hex_digest_to_base64(digest "${hex}")
  set(${out} "'sha256-${digest}'" PARENT_SCOPE)
endfunction()
