#pragma once

#include <stdexcept>

namespace qel {

// A fault of a conversion, the only kind of error the driver raises to its callers.
// Device failures never travel this way; they are messages plus "0" / False.
class RuntimeFault : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace qel
