// For the command line, which chooses this PC's address toward the device
// from all of its interfaces: start-up then offers that address first,
// whichever interface holds it, although its list keeps only eight.
#pragma once
#include <cstdint>

// Host byte order; 0 (the default) prefers nothing.
void host_prefer_address(std::uint32_t address);
