// The table rows, one per protocol file; Protocols() lists them.
#pragma once

#include "../protocol.h"

namespace qel::protocols {

const Protocol& Qel();
const Protocol& Toledo8217();
const Protocol& ToledoContinuous();
const Protocol& MtSics();
const Protocol& Ad();
const Protocol& Cas();
const Protocol& Sma();
const Protocol& Nci();
const Protocol& CasEcr();
const Protocol& Magellan();

}  // namespace qel::protocols
