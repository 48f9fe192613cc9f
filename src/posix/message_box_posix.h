#pragma once

#include "services.h"

namespace qel::posix {

// Hands each message to the handler set with SetMessageHandler (posix_platform.h).
MessageSink& PosixMessageSink();

}  // namespace qel::posix
