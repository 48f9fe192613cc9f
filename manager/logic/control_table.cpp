#include "control_table.h"

#include <stdexcept>

namespace weightbench {

const ControlSpec& Spec(ControlId id) {
  for (const ControlSpec& spec : kControls) {
    if (spec.id == id) return spec;
  }
  throw std::out_of_range("unknown control");
}

}  // namespace weightbench
