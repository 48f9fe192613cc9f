// The icon of a message box, shared by the driver and the programs that show its messages.
#pragma once

namespace qel {

enum class MessageIcon { kNone, kCritical };

}  // namespace qel
