#include "reading.h"

namespace qel {

std::string_view ReadingErrorName(ReadingError error) {
  switch (error) {
    case ReadingError::kNone:
      return "";
    case ReadingError::kNoReading:
      return "no-reading";
    case ReadingError::kPortUnavailable:
      return "port-unavailable";
    case ReadingError::kSetupFailed:
      return "setup-failed";
    case ReadingError::kReadFailed:
      return "read-failed";
    case ReadingError::kOverload:
      return "overload";
    case ReadingError::kUnderZero:
      return "under-zero";
    case ReadingError::kScaleBusy:
      return "scale-busy";
  }
  return "";
}

}  // namespace qel
