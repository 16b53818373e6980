// The PC's own name and IPv4 addresses.
#pragma once
#include <cstdint>

// 0 on success; the name is NUL-terminated within length bytes.
int host_get_name(char* buffer, int length);

// Stores up to max of the PC's IPv4 addresses, host byte order, and returns
// how many were stored, or -1 when there is no list at all.
// Windows: the host name's look-up (gethostbyname), in the resolver's order;
// it lists every adapter. POSIX: the interfaces that are up, the one holding
// the default route first, then the others in interface order, without
// duplicates, loopback only when there is nothing else (a Linux host name
// usually resolves to 127.0.1.1, which reaches no device). host_name is not
// used there.
int host_own_addresses(const char* host_name, std::uint32_t* addresses, int max);
