// IPv4 addresses as the programs read and show them: one reading, as
// inet_pton's, for the command line and the scripted front-end's scripts.
#pragma once
#include <cstdint>
#include <string>

namespace frontend {

// Strict dotted-quad parsing (four decimal parts of 0-255, no shorthand
// forms), host byte order.
bool parse_dotted(const std::string& text, std::uint32_t* address);
std::string dotted(std::uint32_t address);

}  // namespace frontend
