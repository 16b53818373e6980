// The PC's own name and IPv4 addresses (gethostname / gethostbyname).
#pragma once
#include <cstdint>

// 0 on success; the name is NUL-terminated within length bytes.
int host_get_name(char* buffer, int length);

// Looks the name up and stores up to max IPv4 addresses, host byte order, in
// the resolver's order. Returns how many were stored, or -1 when the look-up
// gave no host entry at all.
int host_lookup_addresses(const char* name, std::uint32_t* addresses, int max);
