// Device query: one HTTP exchange on a worker thread behind the Connecting
// dialog, with the quick retry and the password dialog on a 401 challenge.
#pragma once
#include <cstdint>

#include "platform/process.h"
#include "session/layer.h"

QEL_LAYER_HEADER(HTTP);

inline constexpr std::uint16_t HTTP_LOCAL_PORT = 23456;
inline constexpr std::uint16_t HTTP_DEVICE_PORT = 80;

// Returns the bytes received (0 when the device did not answer), never -1;
// a Cancel ends the process.
int query_device(AppInstance instance, std::uint32_t local_address, std::uint16_t local_port,
                 std::uint32_t device_address, std::uint16_t device_port, const char* path,
                 char* buffer, int capacity);

// Wipes the password every later exchange would authenticate with (at the
// end of a run).
void forget_digest_credentials();
