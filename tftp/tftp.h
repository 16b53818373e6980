// The TFTP server: the listener, the read transfer and the verification after it.
//
// The server answers one read request at a time, for one file name only
// (request_file_name), and only in lock-step: an option acknowledgement with
// tsize and timeout, then 512-byte blocks, each after the acknowledgement of
// the one before. It never sends an ERROR packet. Everything runs on the
// listener thread, on the listener's socket and port.
#pragma once
#include <cstdint>

#include "platform/dialog.h"
#include "platform/net.h"
#include "session/layer.h"

QEL_LAYER_HEADER(TFTP);

inline constexpr std::uint16_t TFTP_FIRST_PORT = 69;
inline constexpr int TFTP_BIND_ATTEMPTS = 100;  // ports 69..168
inline constexpr int TFTP_PACKET_SIZE = 1024;   // largest datagram read or built
inline constexpr int TFTP_BLOCK_SIZE = 512;
inline constexpr int TFTP_RESEND_POLLS = 100;  // idle passes (a timer tick each) between resends
inline constexpr int TFTP_MAX_EXPIRIES = 30;   // the 30th expiry fails the transfer
inline constexpr int TFTP_ANNOUNCED_TIMEOUT = 5;

inline constexpr std::uint16_t TFTP_RRQ = 1;
inline constexpr std::uint16_t TFTP_WRQ = 2;
inline constexpr std::uint16_t TFTP_DATA = 3;
inline constexpr std::uint16_t TFTP_ACK = 4;
inline constexpr std::uint16_t TFTP_ERROR = 5;
inline constexpr std::uint16_t TFTP_OACK = 6;

// One per process; zero-filled on the heap, never freed.
struct TftpListener {
  std::uint32_t address;           // the session's ServerAddress, host order
  std::uint16_t port;              // the port bound, 69..168
  NetSocket socket;                // also the socket of every transfer
  char request[TFTP_PACKET_SIZE];  // as large as the read, so no datagram overruns it
  DialogHandle waiting_dialog;     // while it waits for a request; null during a transfer
};

// One per transfer; zero-filled on the heap by run_tftp_session, freed with
// std::free by the listener thread after the verification.
struct TftpSession {
  char file_name[128];
  unsigned char packet[TFTP_PACKET_SIZE];  // every packet sent or received
  std::uint32_t server_address;
  std::uint32_t peer_address;
  std::uint16_t server_port;
  std::uint16_t peer_port;
  NetSocket socket;
  std::uint32_t current_block;  // awaiting its ACK: 0 for the OACK, else the DATA block
  std::uint32_t image_size;
  std::uint32_t block_count;  // image_size / 512 + 1
  std::int32_t bytes_acked;
  std::int32_t last_block_size;  // image_size % 512
  std::int32_t block_length;     // of the DATA block last sent; 0 before the first
  // Shown by the transfer, kept through the wait that follows it and
  // destroyed by the verification; null before and after.
  DialogHandle upload_dialog;
};

// Binds UDP port 69 or the first free port above it (up to 168) on the local
// address, starts the listener thread and returns the bound port. Ends the
// process with a message when it cannot.
std::uint16_t start_tftp_listener(std::uint32_t local_address);

// The first stage's waiting dialog shows this text (the second stage's none).
extern const char TFTP_WAITING_TEXT[];
// How the upload dialog's caption starts while the image is sent ("Uploading
// Target Firmware to QEL@ADDRESS ACKED/SIZE Bytes") and while the device
// reflashes ("Updating Target Firmware to QEL@ADDRESS"): the command line
// tells the two steps apart by them.
extern const char UPLOAD_CAPTION_PREFIX[];
extern const char REFLASH_CAPTION_PREFIX[];

// The listener thread's body (argument: the TftpListener). Never returns: it
// ends the process after the Target stage.
int tftp_listener_thread(void* listener);

// What the listener does with one receive (length as the receive returned
// it, datagram the bytes received). Emits the trace points of its decision.
enum ListenerAction {
  LISTENER_IDLE = 0,   // nothing received: the idle pass waits on for data or its tick
  LISTENER_DROP = 1,   // anything but a read request for request_file_name: read, no reply
  LISTENER_SERVE = 2,  // a read request for request_file_name (from byte 2)
};
ListenerAction classify_listener_datagram(const char* datagram, int length);

// Fills a session for the peer, serves the image of the current stage and
// returns the session, still allocated; *transfer_failed is 1 when the
// transfer ended by time-out, else 0. The upload dialog stays open.
TftpSession* run_tftp_session(NetSocket socket, std::uint32_t server_address,
                              std::uint16_t server_port, std::uint32_t peer_address,
                              std::uint16_t peer_port, const char* file_name, int* transfer_failed);

// The lock-step transfer loop; returns transfer_failed.
int serve_read_request(TftpSession* session);

// What the transfer loop does with one receive into session->packet
// (received as the receive returned it). Emits the trace for a stranger.
// Only a matching ACK ends an idle pass early; nothing else counts as one.
enum TransferAction {
  TRANSFER_NOTHING = 0,       // nothing received: the idle pass waits on for data or its tick
  TRANSFER_IGNORED = 1,       // received but not an ACK of the peer: ignored
  TRANSFER_OTHER_ACK = 2,     // the peer's ACK of another block: ignored
  TRANSFER_MATCHING_ACK = 3,  // the peer's ACK of current_block
};
TransferAction classify_transfer_datagram(const TftpSession* session, int received,
                                          std::uint32_t from_address, std::uint16_t from_port);

// Packet building and sending; each returns the packet's length (the send's
// own result is not looked at: a lost packet is covered by the resend).
int build_tftp_oack(unsigned char* buffer, std::uint32_t image_size);
int build_tftp_data(unsigned char* buffer, const unsigned char* data, int length,
                    std::uint32_t block);
int send_tftp_oack(NetSocket socket, unsigned char* buffer, std::uint32_t peer_address,
                   std::uint16_t peer_port, std::uint32_t image_size);
int send_tftp_data(NetSocket socket, unsigned char* buffer, const unsigned char* data, int length,
                   std::uint32_t block, std::uint32_t peer_address, std::uint16_t peer_port);

// Big-endian 16-bit values; only the low 16 bits of value are written.
void put_u16_be(unsigned char* bytes, std::uint32_t value);
std::uint16_t get_u16_be(const unsigned char* bytes);

// The wait of 937 ticks of 32 ms after a transfer, then the check of the
// version the device reports. Closes the upload dialog. The result is for
// tests and diagnostics only.
enum VerifyResult {
  VERIFY_SUCCEEDED = 0,  // versions match (or a phone), success dialog in the Target stage
  VERIFY_UPLOAD_INCOMPLETE = 1,
  VERIFY_VERSION_MISMATCH = 2,
  VERIFY_NO_RESPONSE = 3,
};
inline constexpr std::uint32_t VERIFY_WAIT_TICKS = 937;
inline constexpr int VERIFY_ATTEMPTS = 10;
int verify_upgrade(TftpSession* session, int transfer_failed);
