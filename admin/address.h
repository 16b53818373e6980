// IPv4 addresses as the command line reads and shows them.
#pragma once
#include <cstdint>
#include <string>

namespace admin {

// Strict dotted-quad parsing (four decimal parts of 0-255, no shorthand
// forms), host byte order.
bool parse_dotted(const std::string& text, std::uint32_t* address);
std::string dotted(std::uint32_t address);

}  // namespace admin
