// Host-facing controls of the POSIX platform.
#pragma once

namespace qel::posix {

// Receives every message the driver shows. The call stands for a modal message box: the
// driver waits until it returns. `critical` is 1 for the stop icon, 0 for none.
using MessageHandler = void (*)(const char* text, const char* caption, int critical, void* context);

// Process-wide. nullptr restores the default, which writes "caption: text" to stderr.
void SetMessageHandler(MessageHandler handler, void* context);

}  // namespace qel::posix
