/* Stands in for <objbase.h> when registration_table.h is compiled for the build machine:
   the GUID type and StringFromGUID2, formatting as ole32 does (upper-case hex, braces). */
#pragma once

#include <cwchar>

#include "rpc.h"

inline int StringFromGUID2(const GUID& guid, wchar_t* text, int size) {
  const int length = std::swprintf(
      text, static_cast<std::size_t>(size), L"{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
      static_cast<unsigned>(guid.Data1), static_cast<unsigned>(guid.Data2),
      static_cast<unsigned>(guid.Data3), static_cast<unsigned>(guid.Data4[0]),
      static_cast<unsigned>(guid.Data4[1]), static_cast<unsigned>(guid.Data4[2]),
      static_cast<unsigned>(guid.Data4[3]), static_cast<unsigned>(guid.Data4[4]),
      static_cast<unsigned>(guid.Data4[5]), static_cast<unsigned>(guid.Data4[6]),
      static_cast<unsigned>(guid.Data4[7]));
  /* Like ole32: the characters written with the terminator, or 0 when they do not fit. */
  return length > 0 && length < size ? length + 1 : 0;
}
