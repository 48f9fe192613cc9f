#pragma once

#include "services.h"

namespace qel::posix {

// The number format of the locale named by LC_ALL, LC_NUMERIC or LANG (the first that is
// set and not empty), read without touching the process's own locale.
LocaleSource& PosixLocaleSource();

}  // namespace qel::posix
