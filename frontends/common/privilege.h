// The check both Linux programs make before their first dialog: whether the
// TFTP listener will be allowed a port. When every one is refused for want
// of privilege, the user learns it at once, with what fixes it, and the run
// ends there rather than after four dialogs.
#pragma once
#include <cstdint>
#include <string>

namespace frontend {

// "" when the TFTP ports are open to this program (the first port of UDP
// 69..168 on local_address, host order, 0 for any, that binds ends the test;
// ports merely taken do not count as a refusal), else the wizard's failure
// message and the platform's hint, as lines separated by CR LF.
std::string tftp_bind_refusal(std::uint32_t local_address = 0);

// A text for a terminal: LF line ends, and a command (a line starting with
// "sudo ") alone on its line behind the indent.
std::string terminal_lines(const std::string& text, const char* indent_command);

}  // namespace frontend
