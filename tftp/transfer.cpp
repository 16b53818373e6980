// The read transfer: an OACK, then 512-byte blocks in lock-step with the
// peer's acknowledgements, resending the last packet after 100 idle passes
// (of a timer tick each) and giving up at the 30th expiry. Runs on the
// listener thread and socket.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/session.h"
#include "firmware/firmware.h"
#include "platform/clock.h"
#include "platform/trace.h"
#include "resources/ids.h"
#include "tftp/tftp.h"
#include "ui/failures.h"
#include "ui/ui.h"

const char UPLOAD_CAPTION_PREFIX[] = "Uploading ";

namespace {

const FirmwareImage* stage_image() {
  return wizard.upgrade_stage.load() != STAGE_TRANSITION ? &target_image : &transition_image;
}

const char* stage_name() {
  return wizard.upgrade_stage.load() != STAGE_TRANSITION ? "Target" : "Transition";
}

void show_upload_progress(const TftpSession* session) {
  char caption[160];
  std::snprintf(caption, sizeof caption, "%s%s Firmware to QEL@%s %d/%d Bytes",
                UPLOAD_CAPTION_PREFIX, stage_name(), wizard.device_address_text,
                static_cast<int>(session->bytes_acked), static_cast<int>(session->image_size));
  dialog_progress_pos(session->upload_dialog, IDC_PROGRESS,
                      static_cast<int>(session->current_block));
  dialog_set_caption(session->upload_dialog, caption);
}

}  // namespace

void put_u16_be(unsigned char* bytes, std::uint32_t value) {
  bytes[0] = static_cast<unsigned char>((value >> 8) & 0xff);
  bytes[1] = static_cast<unsigned char>(value & 0xff);
}

std::uint16_t get_u16_be(const unsigned char* bytes) {
  return static_cast<std::uint16_t>(bytes[0] << 8 | bytes[1]);
}

int build_tftp_oack(unsigned char* buffer, std::uint32_t image_size) {
  put_u16_be(buffer, TFTP_OACK);
  int length = 2;
  std::memcpy(buffer + length, "tsize", 6);  // with its NUL
  length += 6;
  length += std::snprintf(reinterpret_cast<char*>(buffer + length), 11, "%u",
                          static_cast<unsigned>(image_size)) +
            1;
  std::memcpy(buffer + length, "timeout", 8);
  length += 8;
  buffer[length++] = static_cast<unsigned char>('0' + TFTP_ANNOUNCED_TIMEOUT);
  buffer[length++] = 0;
  return length;
}

int build_tftp_data(unsigned char* buffer, const unsigned char* data, int length,
                    std::uint32_t block) {
  put_u16_be(buffer, TFTP_DATA);
  put_u16_be(buffer + 2, block);
  if (length > 0) std::memcpy(buffer + 4, data, static_cast<std::size_t>(length));
  return length + 4;
}

int send_tftp_oack(NetSocket socket, unsigned char* buffer, std::uint32_t peer_address,
                   std::uint16_t peer_port, std::uint32_t image_size) {
  int length = build_tftp_oack(buffer, image_size);
  net_sendto(socket, buffer, length, peer_address, peer_port);
  return length;
}

int send_tftp_data(NetSocket socket, unsigned char* buffer, const unsigned char* data, int length,
                   std::uint32_t block, std::uint32_t peer_address, std::uint16_t peer_port) {
  int packet_length = build_tftp_data(buffer, data, length, block);
  net_sendto(socket, buffer, packet_length, peer_address, peer_port);
  return packet_length;
}

TransferAction classify_transfer_datagram(const TftpSession* session, int received,
                                          std::uint32_t from_address, std::uint16_t from_port) {
  if (received <= 0) return TRANSFER_NOTHING;
  if (from_address != session->peer_address || from_port != session->peer_port) {
    trace("Unknown source request in session: %x:%u", static_cast<unsigned>(from_address),
          static_cast<unsigned>(from_port));
    return TRANSFER_IGNORED;
  }
  // Opcode and block number need four bytes; a shorter datagram is noise.
  if (received < 4 || get_u16_be(session->packet) != TFTP_ACK) return TRANSFER_IGNORED;
  // The block number is compared with all 32 bits of current_block: past block
  // 65,535 nothing matches and the transfer ends by time-out.
  if (get_u16_be(session->packet + 2) != session->current_block) return TRANSFER_OTHER_ACK;
  return TRANSFER_MATCHING_ACK;
}

int serve_read_request(TftpSession* session) {
  int idle_polls = 0;
  int expired_intervals = 0;
  int transfer_failed = 0;
  const unsigned char* image = stage_image()->data;
  const unsigned char* data_cursor = image;

  session->upload_dialog = dialog_create(wizard.app_instance, IDD_UPLOAD, abort_dialog_proc);
  dialog_show(session->upload_dialog);
  dialog_progress_range(session->upload_dialog, IDC_PROGRESS, 0,
                        static_cast<int>(session->block_count & 0xffff));
  net_set_nonblocking(session->socket);
  send_tftp_oack(session->socket, session->packet, session->peer_address, session->peer_port,
                 session->image_size);

  // An idle pass lasts until the tick pass_end: one tick of the platform's
  // timer, whatever the timer's resolution, so that the resend comes after
  // about 1.6 s and the give-up after about 47 s on every build. Only the
  // acknowledgement awaited ends a pass early; whatever else arrives in it (a
  // stale acknowledgement, a stranger, a short or an overlong datagram) is
  // read and ignored, and neither ends the pass nor counts as one.
  std::uint32_t pass_end = clock_tick() + 1;
  for (;;) {
    std::uint32_t from_address = 0;
    std::uint16_t from_port = 0;
    int received =
        net_recvfrom(session->socket, session->packet, TFTP_PACKET_SIZE, &from_address, &from_port);
    TransferAction action = classify_transfer_datagram(session, received, from_address, from_port);

    if (action == TRANSFER_MATCHING_ACK) {
      idle_polls = 0;
      expired_intervals = 0;
      ++session->current_block;
      session->bytes_acked += session->block_length;
      show_upload_progress(session);
      if (session->current_block > session->block_count) {
        trace("All blocks ack'd\n");
        transfer_failed = 0;
        break;
      }
      session->block_length = session->current_block == session->block_count
                                  ? session->last_block_size
                                  : TFTP_BLOCK_SIZE;
      data_cursor = session->current_block == 1 ? image : data_cursor + TFTP_BLOCK_SIZE;
      send_tftp_data(session->socket, session->packet, data_cursor, session->block_length,
                     session->current_block, session->peer_address, session->peer_port);
      trace("Send block %d (%d)\n", static_cast<int>(session->current_block),
            static_cast<int>(session->block_length));
      pass_end = clock_tick() + 1;
      continue;
    }

    if (!clock_tick_reached(pass_end)) {
      // The pass goes on: after an empty receive, wait for data or its end.
      if (action == TRANSFER_NOTHING) {
        dialog_pump_one(session->upload_dialog);
        net_wait_readable_until(session->socket, pass_end);
      }
      continue;
    }
    pass_end = clock_tick() + 1;
    if (++idle_polls < TFTP_RESEND_POLLS) continue;
    if (++expired_intervals >= TFTP_MAX_EXPIRIES) {
      trace("Timeout for ack; upgrade failed\n");
      transfer_failed = 1;
      break;
    }
    if (session->current_block == 0) {
      trace("ReSend option ack\n");
      send_tftp_oack(session->socket, session->packet, session->peer_address, session->peer_port,
                     session->image_size);
    } else {
      trace("ReSend block %d\n", static_cast<int>(session->current_block));
      send_tftp_data(session->socket, session->packet, data_cursor, session->block_length,
                     session->current_block, session->peer_address, session->peer_port);
    }
    idle_polls = 0;
  }
  return transfer_failed;
}

TftpSession* run_tftp_session(NetSocket socket, std::uint32_t server_address,
                              std::uint16_t server_port, std::uint32_t peer_address,
                              std::uint16_t peer_port, const char* file_name,
                              int* transfer_failed) {
  auto* session = static_cast<TftpSession*>(std::calloc(1, sizeof(TftpSession)));
  if (!session) {
    show_failure(FAILURE_SESSION_MEMORY);
    end_run(0);
  }
  session->socket = socket;
  session->server_address = server_address;
  session->server_port = server_port;
  session->peer_address = peer_address;
  session->peer_port = peer_port;
  std::strncpy(session->file_name, file_name, sizeof session->file_name - 1);
  session->current_block = 0;
  session->bytes_acked = 0;
  session->image_size = stage_image()->size;
  session->block_count = session->image_size / TFTP_BLOCK_SIZE + 1;
  session->last_block_size = static_cast<std::int32_t>(session->image_size % TFTP_BLOCK_SIZE);
  trace("++++size %d, %d, %d\n", static_cast<int>(session->image_size),
        static_cast<int>(session->last_block_size), static_cast<int>(session->block_count));
  *transfer_failed = serve_read_request(session);
  return session;
}
