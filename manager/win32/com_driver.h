// The driver reached through COM: created by ProgID, called by name through IDispatch.
#pragma once

#include <memory>

#include "bench_form.h"

namespace weightbench {

class ComDriverFactory : public DriverFactory {
 public:
  std::unique_ptr<Driver> Create() override;
};

}  // namespace weightbench
