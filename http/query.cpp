// Device query. Each exchange runs on a worker thread over private copies of
// the digest state, the device values and the buffer; the asking thread
// publishes what the exchange found when the worker has ended. Two queries
// may overlap (the upgrade request on the main thread, held open by the
// device, and the verification on the listener thread): the nonce count is
// therefore taken from the shared state when a request is built, and an
// exchange publishes only what it found, so that the one ending last cannot
// bring back older values.
#include "http/query.h"

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>

#include "session/session.h"
#include "http/http.h"
#include "platform/clock.h"
#include "platform/thread.h"
#include "platform/trace.h"
#include "resources/ids.h"
#include "ui/failures.h"
#include "ui/ui.h"

namespace {

// Taken only by the asking threads, never by a worker, so that a worker stuck
// on a device that holds its connection open blocks nobody: response_buffer
// and the credentials in digest_state.
std::mutex exchange_lock;
// The challenge and the nonce count in digest_state. Workers take it too,
// but only to copy the challenge and count one request; it is never held
// across anything that can wait. Inside exchange_lock when both are held.
std::mutex nonce_lock;

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
  SharedExchange shared;
};

// The challenge's fields, without the nonce count and the credentials.
void copy_challenge(DigestState* to, const DigestState& from) {
  std::memcpy(to->counted_nonce, from.counted_nonce, sizeof to->counted_nonce);
  std::memcpy(to->nonce, from.nonce, sizeof to->nonce);
  std::memcpy(to->cnonce, from.cnonce, sizeof to->cnonce);
  std::memcpy(to->realm, from.realm, sizeof to->realm);
  std::memcpy(to->qop, from.qop, sizeof to->qop);
  std::memcpy(to->algorithm, from.algorithm, sizeof to->algorithm);
  std::memcpy(to->opaque, from.opaque, sizeof to->opaque);
}

// On the worker, while its request is built: a count belongs to its nonce,
// so both come from the shared state together, and the shared count moves
// on so that no other exchange sends the same one.
void take_nonce_count(DigestState* digest) {
  std::lock_guard lock(nonce_lock);
  copy_challenge(digest, digest_state);
  digest->nonce_count = ++digest_state.nonce_count;
}

int device_query_thread(void* argument) {
  auto* query = static_cast<DeviceQuery*>(argument);
  trace("HTTP %x:%u to %x:%u", static_cast<unsigned>(query->local_address), query->local_port,
        static_cast<unsigned>(query->device_address), query->device_port);
  return http_get(query->local_address, query->local_port, query->device_address,
                  query->device_port, query->path, query->buffer, query->capacity, &query->digest,
                  &query->info, &query->shared);
}

// Only what this exchange found: a challenge, a realm, the values whose
// labels were in its response, its response. The credentials belong to the
// password dialog.
void publish_exchange(const DeviceQuery& query, char* buffer, int result) {
  std::lock_guard lock(exchange_lock);
  {
    std::lock_guard nonce(nonce_lock);
    const DigestState& found = query.digest;
    if (result == -1) {
      // The nonce's count restarts only when the nonce is new to the shared
      // state too; the same nonce keeps what other exchanges have counted.
      bool new_nonce = std::strcmp(found.nonce, digest_state.counted_nonce) != 0;
      copy_challenge(&digest_state, found);
      std::memcpy(digest_state.counted_nonce, found.nonce, sizeof digest_state.counted_nonce);
      if (new_nonce) digest_state.nonce_count = 0;
    } else if (query.shared.realm_stored) {
      std::memcpy(digest_state.realm, found.realm, sizeof digest_state.realm);
    }
  }
  publish_device_info(query.info, query.shared.fields_found);
  if (result > 0) std::memcpy(buffer, query.buffer, static_cast<std::size_t>(result) + 1);
}

}  // namespace

int query_device(AppInstance instance, std::uint32_t local_address, std::uint16_t local_port,
                 std::uint32_t device_address, std::uint16_t device_port, const char* path,
                 char* buffer, int capacity) {
  int poll_count = 0;
  int progress = 0;
  int quick_retries = 0;
  auto* query = new (std::nothrow) DeviceQuery{};
  char* own_buffer =
      query ? new (std::nothrow) char[static_cast<std::size_t>(capacity) + 1] : nullptr;
  if (!own_buffer) {
    show_failure(FAILURE_QUERY_MEMORY);
    end_run(0);
  }
  query->buffer = own_buffer;
  for (;;) {
    query->instance = instance;
    query->local_address = local_address;
    query->local_port = local_port;
    query->device_address = device_address;
    query->device_port = device_port;
    query->path = path;
    query->capacity = capacity;
    query->shared = SharedExchange{take_nonce_count, 0, false};
    {
      std::lock_guard lock(exchange_lock);
      std::lock_guard nonce(nonce_lock);
      query->digest = digest_state;
    }

    DialogHandle dialog = dialog_create(instance, IDD_CONNECTING, connecting_dialog_proc);
    dialog_show(dialog);
    PlatformThread* worker = thread_start(device_query_thread, query);
    if (!worker) {
      show_failure(FAILURE_QUERY_THREAD);
      end_run(0);
    }
    int result = 0;
    while (!thread_ended(worker, &result)) {
      dialog_pump_one(dialog);
      sleep_ms(1);
      if (++poll_count == 10) {
        dialog_progress_pos(dialog, IDC_PROGRESS, progress);
        if (++progress > 100) progress = 0;
        poll_count = 0;
      }
    }
    thread_release(worker);
    dialog_destroy(dialog);
    publish_exchange(*query, buffer, result);

    if (result >= 0) {
      delete[] query->buffer;
      wipe_secret(query->digest.password, sizeof query->digest.password);
      delete query;
      return result;
    }
    // Judged on this exchange's own state: a count of 0 means its challenge
    // brought a nonce other than the one it counted, whatever another
    // thread's exchange has counted since.
    if (query->digest.password[0] != '\0' && query->digest.nonce_count == 0 && quick_retries == 0) {
      ++quick_retries;
      continue;
    }
    if (dialog_box(instance, IDD_PASSWORD, password_dialog_proc) <= 0) {
      show_failure(FAILURE_USER_ABORT);
      end_run(0);
    }
    {
      std::lock_guard lock(exchange_lock);
      get_credentials(digest_state.user_name, digest_state.password);
    }
    quick_retries = 0;
  }
}

void forget_digest_credentials() {
  std::lock_guard lock(exchange_lock);
  wipe_secret(digest_state.password, sizeof digest_state.password);
}

namespace {
// Whichever way the run ends, the password exchanges authenticate with goes.
const bool wiped_at_run_end = (wipe_at_run_end(forget_digest_credentials), true);
}  // namespace
