#include "locale_posix.h"

#include <langinfo.h>
#include <locale.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace qel::posix {
namespace {

std::string UserLocaleName() {
  for (const char* variable : {"LC_ALL", "LC_NUMERIC", "LANG"}) {
    const char* value = std::getenv(variable);
    if (value != nullptr && *value != '\0') return value;
  }
  return "C";
}

NumberFormat ReadNumberFormat(const std::string& name) {
  NumberFormat format;  // "." with a leading zero: the C locale, also for unknown names
  const locale_t locale = ::newlocale(LC_NUMERIC_MASK, name.c_str(), static_cast<locale_t>(0));
  if (locale == static_cast<locale_t>(0)) return format;
  const char* radix = ::nl_langinfo_l(RADIXCHAR, locale);
  if (radix != nullptr && *radix != '\0') format.decimal_separator = radix;
  ::freelocale(locale);
  format.leading_zero = true;  // POSIX locales carry no leading-zero setting
  return format;
}

class EnvironmentLocale final : public LocaleSource {
 public:
  NumberFormat UserNumberFormat() override {
    // Loading a locale costs far more than a reading's decode; keep the last one.
    std::string name = UserLocaleName();
    std::lock_guard<std::mutex> lock(mutex_);
    if (!cached_ || name != cached_name_) {
      cached_format_ = ReadNumberFormat(name);
      cached_name_ = std::move(name);
      cached_ = true;
    }
    return cached_format_;
  }

 private:
  std::mutex mutex_;
  bool cached_ = false;
  std::string cached_name_;
  NumberFormat cached_format_;
};

}  // namespace

LocaleSource& PosixLocaleSource() {
  static EnvironmentLocale source;
  return source;
}

}  // namespace qel::posix
