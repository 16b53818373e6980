// One HTTP exchange with the device: connect, one GET, read to the close,
// classify the status line, take a digest challenge or the page's values.
#pragma once
#include <cstdint>

#include "session/session.h"
#include "http/digest.h"
#include "platform/net.h"
#include "session/layer.h"

QEL_LAYER_HEADER(HTTP);

// Every exchange is given one byte less than the buffer holds, so that the
// NUL after the last byte received always fits.
inline constexpr int RESPONSE_BUFFER_SIZE = 131072;
inline constexpr int RESPONSE_CAPACITY = RESPONSE_BUFFER_SIZE - 1;

extern char response_buffer[RESPONSE_BUFFER_SIZE];

// For an exchange whose digest state and values are private copies of state
// that overlapping exchanges share.
struct SharedExchange {
  // In: called while the request is built, when a password is known, to set
  // the nonce count (and the challenge it belongs to) in the exchange's
  // digest state from the shared one. Null: the exchange counts on its own.
  void (*take_nonce_count)(DigestState* digest);
  // Out: FOUND_* bits of the fields extract_field found.
  unsigned fields_found;
  // Out: the response stored another realm (a 401 whose challenge may have
  // lacked its nonce, so that the result is not -1).
  bool realm_stored;
};

// The device's information page, which every exchange reads.
inline constexpr char DEVICE_PAGE_PATH[] = "/admin/advanced";

// The request as the wizard sends it: the request line for path, the Host
// line, authorization (a whole Authorization line, or null for none) and the
// blank line, written into buffer[0..capacity] (cut there, always
// terminated). Returns its length.
int build_http_request(char* buffer, int capacity, const char* path, const char* authorization);

// The labelled values of a device's answer, whatever its status: each value
// found is copied into info (at most 127 characters), the others are left as
// they were. Returns the FOUND_* bits of the values found.
unsigned read_device_page(const char* text, DeviceInfo* info);

// A socket bound to local_address on the first free port from local_port
// (at most 101 ports, wrapping at 16 bits) and connected to the device;
// NET_INVALID_SOCKET when the connect fails (that socket is already closed).
// A socket that cannot be created or bound ends the process after a message.
NetSocket http_connect(std::uint32_t local_address, std::uint16_t local_port,
                       std::uint32_t device_address, std::uint16_t device_port);

// One GET of path. buffer holds at least capacity + 1 bytes; the request is
// built there, then the response replaces it, NUL-terminated. Returns -1 for
// a 401 whose challenge is now in *digest (info untouched), 0 when nothing was
// received, otherwise the bytes received (info updated from them).
int http_get(std::uint32_t local_address, std::uint16_t local_port, std::uint32_t device_address,
             std::uint16_t device_port, const char* path, char* buffer, int capacity,
             DigestState* digest, DeviceInfo* info, SharedExchange* shared = nullptr);

// text is NUL-terminated; length is not needed. -1 no "HTTP/1.1" at the
// start, -2 the text ends before a status code, 0 status 200, 1 status 401
// with a usable challenge (stored in *digest), 2 anything else.
int classify_response(const char* text, int length, DigestState* digest);

// Copies the text after label, past the tags that follow it, up to the next
// "<" (at most limit characters, then a NUL; destination holds limit + 1).
// Returns destination, or null with destination unchanged when the label or
// the end of its tags is missing.
char* extract_field(const char* text, const char* label, char* destination, int limit);
