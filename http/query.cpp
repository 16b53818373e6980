// Device query. Each exchange runs on a worker thread over private copies of
// the digest state, the device values and the buffer; the asking thread
// publishes them when the worker has ended. Two queries may overlap (the
// upgrade request on the main thread, held open by the device, and the
// verification on the listener thread), so the published state is guarded by
// one lock that no worker ever takes.
#include "http/query.h"

#include <cstdio>
#include <cstring>
#include <mutex>

#include "app/app.h"
#include "http/http.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "platform/trace.h"
#include "ui/ui.h"

namespace {

constexpr int CONNECTING_TEMPLATE = 105;
constexpr int PASSWORD_TEMPLATE = 104;
constexpr int ID_PROGRESS = 1010;
constexpr int ID_USER = 1003;
constexpr int ID_PASSWORD = 1005;
constexpr int ID_EXPLANATION = 1007;

const char PASSWORD_EXPLANATION[] =
    "This QEL requires a password in order to be\r\nupgraded. If you do not have administrator's\r\n"
    "privileges for this unit, please contact your\r\nService Provider or network administrator,\r\n"
    "before proceeding.\r\n\r\nYou must provide the QEL administrator's\r\npassword to upgrade. "
    "If you are the administrator\r\nand forgot the password, you may perform a\r\nfactory reset "
    "by entering # # # #, option 40516#,\r\nand value 1 from a telephone connected to the\r\nunit "
    "to be upgraded.\r\n\r\n"
    "* * * * * * * * * * *  Warning  * * * * * * * * * * *"
    "\r\nAll settings will revert to default values\r\nafter factory reset!  You may not be able "
    "to\r\nreestablish service after completing this upgrade\r\nwithout first reentering service "
    "configuration\r\ninformation.";

std::mutex exchange_lock;  // digest_state, device_info, response_buffer

struct DeviceQuery {
  AppInstance instance;
  std::uint32_t local_address;
  std::uint16_t local_port;
  std::uint32_t device_address;
  std::uint16_t device_port;
  const char* path;
  char* buffer;  // the worker's own, capacity + 1 bytes
  int capacity;
  DigestState digest;
  DeviceInfo info;
};

int device_query_thread(void* argument) {
  auto* query = static_cast<DeviceQuery*>(argument);
  trace("HTTP %x:%u to %x:%u", static_cast<unsigned>(query->local_address), query->local_port,
        static_cast<unsigned>(query->device_address), query->device_port);
  return http_get(query->local_address, query->local_port, query->device_address,
                  query->device_port, query->path, query->buffer, query->capacity,
                  &query->digest, &query->info);
}

// Everything but the credentials, which only the password dialog writes.
void publish_exchange(const DeviceQuery& query, char* buffer, int result) {
  std::lock_guard lock(exchange_lock);
  DigestState digest = query.digest;
  std::memcpy(digest.user_name, digest_state.user_name, sizeof digest.user_name);
  std::memcpy(digest.password, digest_state.password, sizeof digest.password);
  digest_state = digest;
  device_info = query.info;
  if (result > 0) std::memcpy(buffer, query.buffer, static_cast<std::size_t>(result) + 1);
}

std::intptr_t connecting_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                     std::intptr_t) {
  if (message == WM_INITDIALOG) {
    char caption[96];
    std::snprintf(caption, sizeof caption, "Connecting with QEL@%s", device_address_text);
    dialog_set_caption(dialog, caption);
    center_window(dialog);
    dialog_progress_range(dialog, ID_PROGRESS, 0, 100);
    return TRUE;
  }
  // The worker may still be waiting on the network; it is not waited for.
  if (message == WM_COMMAND && (wparam & 0xffff) == IDCANCEL) abort_upgrade(dialog);
  return FALSE;
}

std::intptr_t password_dialog_proc(DialogHandle dialog, unsigned message, std::uintptr_t wparam,
                                   std::intptr_t) {
  if (message == WM_INITDIALOG) {
    dialog_set_item_text(dialog, ID_EXPLANATION, PASSWORD_EXPLANATION);
    dialog_set_item_text(dialog, ID_USER, "admin");
    dialog_focus_item(dialog, ID_PASSWORD);
    center_window(dialog);
    return FALSE;
  }
  if (message != WM_COMMAND) return FALSE;
  switch (wparam & 0xffff) {
    case IDOK: {
      char user[128];
      char password[128];
      dialog_get_item_text(dialog, ID_USER, user, 127);
      dialog_get_item_text(dialog, ID_PASSWORD, password, 127);
      {
        std::lock_guard lock(exchange_lock);
        std::memcpy(digest_state.user_name, user, sizeof user);
        std::memcpy(digest_state.password, password, sizeof password);
      }
      dialog_end(dialog, 1);
      return TRUE;
    }
    case IDCANCEL:
      dialog_end(dialog, 0);
      return TRUE;
  }
  return FALSE;
}

}  // namespace

void device_info_snapshot(DeviceInfo* out) {
  std::lock_guard lock(exchange_lock);
  *out = device_info;
}

int query_device(AppInstance instance, std::uint32_t local_address, std::uint16_t local_port,
                 std::uint32_t device_address, std::uint16_t device_port, const char* path,
                 char* buffer, int capacity) {
  int poll_count = 0;
  int progress = 0;
  int quick_retries = 0;
  auto* query = new DeviceQuery{};
  query->buffer = new char[static_cast<std::size_t>(capacity) + 1];
  for (;;) {
    query->instance = instance;
    query->local_address = local_address;
    query->local_port = local_port;
    query->device_address = device_address;
    query->device_port = device_port;
    query->path = path;
    query->capacity = capacity;
    {
      std::lock_guard lock(exchange_lock);
      query->digest = digest_state;
      query->info = device_info;
    }

    DialogHandle dialog = dialog_create(instance, CONNECTING_TEMPLATE, connecting_dialog_proc);
    dialog_show(dialog);
    PlatformThread* worker = thread_start(device_query_thread, query);
    if (!worker) {
      show_error("Upgrade Failed: Can't start the device query");
      process_exit(0);
    }
    int result = 0;
    while (!thread_ended(worker, &result)) {
      dialog_pump_one(dialog);
      sleep_ms(1);
      if (++poll_count == 10) {
        dialog_progress_pos(dialog, ID_PROGRESS, progress);
        if (++progress > 100) progress = 0;
        poll_count = 0;
      }
    }
    thread_release(worker);
    dialog_destroy(dialog);
    publish_exchange(*query, buffer, result);

    if (result >= 0) {
      delete[] query->buffer;
      delete query;
      return result;
    }
    bool repeat_at_once;
    {
      std::lock_guard lock(exchange_lock);
      repeat_at_once = digest_state.password[0] != '\0' && digest_state.nonce_count == 0 &&
                       quick_retries == 0;
    }
    if (repeat_at_once) {
      ++quick_retries;
      continue;
    }
    if (dialog_box(instance, PASSWORD_TEMPLATE, password_dialog_proc) <= 0) {
      show_error("Upgrade Failed: User Abort");
      process_exit(0);
    }
    quick_retries = 0;
  }
}
