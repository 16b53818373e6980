#include "http/http.h"

#include <cstring>

#include "platform/process.h"
#include "platform/trace.h"
#include "ui/failures.h"
#include "session/session.h"
#include "ui/ui.h"

char response_buffer[RESPONSE_BUFFER_SIZE];

namespace {

constexpr int LOCAL_PORTS_TRIED = 101;
constexpr int FIELD_LIMIT = 127;

// Appends text to the request being built in buffer[0..capacity], never
// beyond it, and keeps it terminated.
void append(char* buffer, int capacity, int* length, const char* text) {
  int room = capacity - *length;
  int size = static_cast<int>(std::strlen(text));
  if (size > room) size = room;
  std::memcpy(buffer + *length, text, static_cast<std::size_t>(size));
  *length += size;
  buffer[*length] = '\0';
}

}  // namespace

NetSocket http_connect(std::uint32_t local_address, std::uint16_t local_port,
                       std::uint32_t device_address, std::uint16_t device_port) {
  NetSocket socket = net_tcp_socket();
  if (socket == NET_INVALID_SOCKET) {
    show_failure(FAILURE_HTTP_SOCKET);
    end_run(0);
  }
  // An earlier exchange may still hold the port; walk on to the next ones.
  std::uint16_t port = local_port;
  int tries = 0;
  while (net_bind(socket, local_address, port) != 0) {
    if (++tries == LOCAL_PORTS_TRIED) {
      show_failure(FAILURE_HTTP_BIND);
      end_run(0);
    }
    port = static_cast<std::uint16_t>(port + 1);
  }
  if (net_connect(socket, device_address, device_port) != 0) {
    net_close(socket);
    return NET_INVALID_SOCKET;
  }
  return socket;
}

int http_get(std::uint32_t local_address, std::uint16_t local_port, std::uint32_t device_address,
             std::uint16_t device_port, const char* path, char* buffer, int capacity,
             DigestState* digest, DeviceInfo* info, SharedExchange* shared) {
  if (shared) {
    shared->fields_found = 0;
    shared->realm_stored = false;
  }
  NetSocket socket = http_connect(local_address, local_port, device_address, device_port);
  if (socket == NET_INVALID_SOCKET) return 0;

  char line[DIGEST_AUTHORIZATION_SIZE];
  const char* authorization = nullptr;
  if (digest->password[0] != '\0') {
    if (shared && shared->take_nonce_count) {
      shared->take_nonce_count(digest);
    } else {
      ++digest->nonce_count;
    }
    digest_authorization(digest, line);
    authorization = line;
  }
  int length = build_http_request(buffer, capacity, path, authorization);
  trace("%s", buffer);
  net_send(socket, buffer, length);

  // Read until the device closes the connection or the buffer is full.
  int count = 0;
  while (count < capacity) {
    int received = net_recv(socket, buffer + count, capacity - count);
    if (received <= 0) break;
    if (received > capacity - count) received = capacity - count;
    count += received;
    buffer[count] = '\0';
  }
  trace("recv done\n");
  trace("%.*s", count, buffer);
  trace("\n");

  if (count > 0) {
    char realm_sent[sizeof digest->realm];
    std::memcpy(realm_sent, digest->realm, sizeof realm_sent);
    int status = classify_response(buffer, count, digest);
    if (shared) {
      shared->realm_stored = std::strncmp(realm_sent, digest->realm, sizeof realm_sent) != 0;
    }
    if (status == 1) {
      net_close(socket);
      return -1;
    }
    unsigned found = read_device_page(buffer, info);
    if (shared) shared->fields_found = found;
  }
  net_close(socket);
  return count;
}

int build_http_request(char* buffer, int capacity, const char* path, const char* authorization) {
  int length = 0;
  buffer[0] = '\0';
  append(buffer, capacity, &length, "GET ");
  append(buffer, capacity, &length, path);
  append(buffer, capacity, &length, " HTTP/1.1\r\n");
  // The device does not care which host it is called; this line never changes.
  append(buffer, capacity, &length, "Host: 192.168.2.110\r\n");
  if (authorization) append(buffer, capacity, &length, authorization);
  append(buffer, capacity, &length, "\r\n");
  return length;
}

unsigned read_device_page(const char* text, DeviceInfo* info) {
  unsigned found = 0;
  if (extract_field(text, "Product Name:", info->product_name, FIELD_LIMIT))
    found |= FOUND_PRODUCT_NAME;
  if (extract_field(text, "MAC Address:", info->mac_address, FIELD_LIMIT))
    found |= FOUND_MAC_ADDRESS;
  if (extract_field(text, "Software Version:", info->software_version, FIELD_LIMIT))
    found |= FOUND_SOFTWARE_VERSION;
  if (extract_field(text, "Hardware Version:", info->hardware_version, FIELD_LIMIT))
    found |= FOUND_HARDWARE_VERSION;
  if (extract_field(text, "Serial Number:", info->serial_number, FIELD_LIMIT))
    found |= FOUND_SERIAL_NUMBER;
  return found;
}

int classify_response(const char* text, int /*length*/, DigestState* digest) {
  if (std::strncmp(text, "HTTP/1.1", 8) != 0) return -1;
  const char* p = text + 8;
  if (*p == '\0') return -2;
  ++p;  // the separator, whatever it is
  while (*p == ' ' || *p == '\t') ++p;
  if (*p == '\0') return -2;
  if (std::strncmp(p, "200", 3) == 0) return 0;
  if (std::strncmp(p, "401", 3) != 0) return 2;
  const char* challenge = std::strstr(p, "WWW-Authenticate:");
  if (challenge && parse_digest_challenge(challenge, digest) == 0) return 1;
  return 2;
}

char* extract_field(const char* text, const char* label, char* destination, int limit) {
  const char* p = std::strstr(text, label);
  if (!p) return nullptr;
  // Skip the label's closing tag and any tags right after it, as one run.
  do {
    p = std::strchr(p, '>');
    if (!p) return nullptr;
    ++p;
  } while (*p == '<');
  int n = 0;
  while (n < limit && p[n] != '\0' && p[n] != '<') {
    destination[n] = p[n];
    ++n;
  }
  destination[n] = '\0';
  return destination;
}
