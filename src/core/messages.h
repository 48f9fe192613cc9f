// Every text the driver shows to the user is composed here.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace qel::messages {

std::string OpenFailed(std::string_view port_name, std::uint32_t code);
std::string SetupFailed(std::uint32_t code);
std::string ReadFailed(std::uint32_t code, std::string_view error_description);

inline constexpr std::string_view kReadFailedCaption = "Qel_scale.dll";

}  // namespace qel::messages
