// The protocol table: one row per file in this folder, the driver's own first.
#include "../protocol.h"
#include "rows.h"

namespace qel {

const std::vector<const Protocol*>& Protocols() {
  static const std::vector<const Protocol*> table = {
      &protocols::Qel(),      &protocols::Toledo8217(), &protocols::ToledoContinuous(),
      &protocols::MtSics(),   &protocols::Ad(),         &protocols::Cas(),
      &protocols::Sma(),      &protocols::Nci(),        &protocols::CasEcr(),
      &protocols::Magellan(),
  };
  return table;
}

const Protocol& DefaultProtocol() { return protocols::Qel(); }

const Protocol* FindProtocol(std::string_view id) {
  for (const Protocol* protocol : Protocols()) {
    if (protocol->id == id) return protocol;
  }
  return nullptr;
}

std::string_view ScaleCommandName(ScaleCommand command) {
  return command == ScaleCommand::kZero ? "zero" : "tare";
}

}  // namespace qel
