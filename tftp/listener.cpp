// The TFTP listener: one UDP socket on port 69 or the next free port, a
// thread that waits behind the waiting dialog for the read request of
// request_file_name and serves it. Anything else is dropped without a reply.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "session/session.h"
#include "platform/clock.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "platform/trace.h"
#include "resources/ids.h"
#include "tftp/tftp.h"
#include "ui/failures.h"
#include "ui/ui.h"

const char TFTP_WAITING_TEXT[] =
    "Firmware upload will begin when the QEL is idle, where the QEL will request to download the "
    "firmware from this PC using TFTP at the first available UDP port starting at port number "
    "69.\r\n\r\nIf firmware download does not start, please check that you have done the "
    "following: a) Hangup properly all the phones attached to the QEL, b) Disable any firewall "
    "software (such as Internet Connection Firewall) on this PC, and c) Make sure that this PC "
    "and the QEL are on the same LAN subnet; it will not work for example if this PC is behind a "
    "router while the QEL is in front of it.";

namespace {

constexpr int ANIMATION_STEPS = 1000;

// When every port was refused for want of privilege, the platform may add
// how to fix that (nothing on Windows, where no privilege is needed).
void show_bind_failure(bool all_denied) {
  const char* hint = all_denied ? process_bind_privilege_hint() : "";
  if (hint[0] == '\0') {
    show_failure(FAILURE_LISTENER_BIND);
    return;
  }
  char message[1024];
  std::snprintf(message, sizeof message, "%s\r\n%s", failure_text(FAILURE_LISTENER_BIND), hint);
  show_failure(FAILURE_LISTENER_BIND, message);
}

// The second stage's dialog keeps the template's empty text.
void show_waiting_dialog(TftpListener* listener, bool with_text) {
  DialogHandle& waiting_dialog = listener->waiting_dialog;
  waiting_dialog = dialog_create(wizard.app_instance, IDD_WAITING, abort_dialog_proc);
  dialog_show(waiting_dialog);
  dialog_progress_range(waiting_dialog, IDC_PROGRESS, 0, ANIMATION_STEPS);
  dialog_progress_pos(waiting_dialog, IDC_PROGRESS, 0);
  if (with_text) dialog_set_item_text(waiting_dialog, IDC_WAITING_TEXT, TFTP_WAITING_TEXT);
}

}  // namespace

ListenerAction classify_listener_datagram(const char* datagram, int length) {
  if (length <= 0) return LISTENER_IDLE;
  if (length < 2) return LISTENER_DROP;  // not even an opcode
  switch (get_u16_be(reinterpret_cast<const unsigned char*>(datagram))) {
    case TFTP_RRQ:
      break;
    case TFTP_WRQ:
      trace("TFTP Rx WRQ?\n");
      return LISTENER_DROP;
    case TFTP_DATA:
      trace("TFTP Rx Data?\n");
      return LISTENER_DROP;
    case TFTP_ACK:
      trace("TFTP Rx ACK?\n");
      return LISTENER_DROP;
    case TFTP_ERROR:
      trace("TFTP Rx Error?\n");
      return LISTENER_DROP;
    default:
      return LISTENER_DROP;
  }

  const char* name = datagram + 2;
  int name_room = length - 2;
  char expected[128];
  get_request_file_name(expected, sizeof expected);
  // A name that runs to the end of the datagram cannot be request_file_name
  // (that one ends with its NUL); it is dropped like any other wrong name.
  if (!std::memchr(name, 0, static_cast<std::size_t>(name_room))) {
    trace("%s %.*s\n", expected, name_room, name);
    trace("+++ Bad TFTP RRQ filename %.*s\n", name_room, name);
    return LISTENER_DROP;
  }
  trace("%s %s\n", expected, name);
  if (!request_file_name_is(name)) {
    trace("+++ Bad TFTP RRQ filename %s\n", name);
    return LISTENER_DROP;
  }
  return LISTENER_SERVE;
}

int tftp_listener_thread(void* argument) {
  auto* listener = static_cast<TftpListener*>(argument);
  NetSocket socket = listener->socket;
  int animation = 0;

  show_waiting_dialog(listener, true);
  net_set_nonblocking(socket);

  // An idle pass lasts one tick of the platform's timer and moves the bar one
  // step (1,000 steps in about 16 s). The read request ends it at once; a
  // dropped datagram is read and neither ends the pass nor counts as one.
  std::uint32_t pass_end = clock_tick() + 1;
  for (;;) {
    std::uint32_t from_address = 0;
    std::uint16_t from_port = 0;
    int received = net_recvfrom(socket, listener->request, sizeof listener->request, &from_address,
                                &from_port);
    ListenerAction action = classify_listener_datagram(listener->request, received);
    if (action != LISTENER_SERVE) {
      if (!clock_tick_reached(pass_end)) {
        if (action == LISTENER_IDLE) net_wait_readable_until(socket, pass_end);
        continue;
      }
      pass_end = clock_tick() + 1;
      if (++animation == ANIMATION_STEPS) animation = 0;
      dialog_progress_pos(listener->waiting_dialog, IDC_PROGRESS, animation);
      dialog_pump_all(listener->waiting_dialog);
      continue;
    }

    dialog_destroy(listener->waiting_dialog);
    listener->waiting_dialog = nullptr;
    int transfer_failed = 0;
    TftpSession* session = run_tftp_session(socket, listener->address, listener->port, from_address,
                                            from_port, listener->request + 2, &transfer_failed);
    verify_upgrade(session, transfer_failed);
    std::free(session);

    // The listener never learns the outcome: after the Transition stage it
    // always goes on to the Target stage, on the same socket and port.
    if (wizard.upgrade_stage.load() != STAGE_TRANSITION) {
      net_close(socket);
      end_run(0);
    }
    wizard.upgrade_stage.store(STAGE_TARGET);
    animation = 0;
    show_waiting_dialog(listener, false);
    pass_end = clock_tick() + 1;
  }
}

std::uint16_t start_tftp_listener(std::uint32_t local_address) {
  auto* listener = static_cast<TftpListener*>(std::calloc(1, sizeof(TftpListener)));
  if (!listener) {
    show_failure(FAILURE_LISTENER_MEMORY);
    end_run(0);
  }
  NetSocket socket = net_udp_socket();
  if (socket == NET_INVALID_SOCKET) {
    show_failure(FAILURE_LISTENER_SOCKET);
    end_run(0);
  }
  // Whatever made a bind fail, the next port is tried.
  std::uint16_t port = TFTP_FIRST_PORT;
  int failures = 0;
  bool all_denied = true;  // every port refused for want of privilege
  while (net_bind(socket, local_address, port) != 0) {
    all_denied = all_denied && net_last_bind_denied();
    if (++failures == TFTP_BIND_ATTEMPTS) {
      show_bind_failure(all_denied);
      end_run(0);
    }
    ++port;
  }
  listener->address = local_address;
  listener->port = port;
  listener->socket = socket;

  // Without the thread no request would ever be served and the main thread
  // would wait for ever: better to say so.
  PlatformThread* thread = thread_start(tftp_listener_thread, listener);
  if (!thread) {
    show_failure(FAILURE_LISTENER_THREAD);
    end_run(0);
  }
  // The thread ends only with the process; its handle is never needed.
  thread_release(thread);
  return port;
}
