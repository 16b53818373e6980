// The TFTP server: the listener, the read transfer and the verification after it.
#pragma once
#include <cstdint>

// Binds UDP port 69 or the first free port above it (up to 168) on the local
// address, starts the listener thread and returns the bound port. Ends the
// process with a message when it cannot.
std::uint16_t start_tftp_listener(std::uint32_t local_address);
