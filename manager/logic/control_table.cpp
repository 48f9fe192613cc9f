#include "control_table.h"

#include <stdexcept>

namespace weightbench {

const ControlEntry& Entry(ControlId id) {
  for (const ControlEntry& entry : kControls) {
    if (entry.id == id) return entry;
  }
  throw std::out_of_range("unknown control");
}

}  // namespace weightbench
