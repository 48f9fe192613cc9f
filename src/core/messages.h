// Every text the driver shows to the user is composed here, and the caption and icon each
// failure is shown with are chosen here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "reading.h"
#include "services.h"

namespace qel::messages {

std::string OpenFailed(std::string_view port_name, std::uint32_t code);
std::string SetupFailed(std::uint32_t code);
std::string ReadFailed(std::uint32_t code, std::string_view error_description);

inline constexpr std::string_view kReadFailedCaption = "Qel_scale.dll";

struct Presentation {
  std::string_view caption;
  MessageIcon icon;
};

// A failed read comes in a critical box captioned with the old library's name; a port that
// does not open or take its settings, in a plain box captioned with the driver's.
Presentation PresentationOf(ReadingError failure);

// Shows `text`, the message of `failure`, as that failure is always shown.
void Show(MessageSink& sink, ReadingError failure, std::string_view text);

}  // namespace qel::messages
