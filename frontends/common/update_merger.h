// Progress and caption changes on their way from the dialogs' owner threads
// to a front-end's UI thread. An owner thread may change a bar thousands of
// times a second; the UI thread only needs the newest values when it next
// draws. So per dialog at most one delivery is queued at any time, and a
// change made while one is queued rides along with it: the delivery takes
// whatever has gathered when it runs.
//
// Owner threads call caption / range / position and queue a delivery when
// told to; the delivery, on the UI thread, calls take. Thread-safe; holds
// its own lock only while it records or takes.
#pragma once
#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>

#include "platform/dialog.h"

namespace frontend {

class UpdateMerger {
 public:
  struct Bar {
    std::optional<std::pair<int, int>> range;  // low, high
    std::optional<int> position;
  };
  // The newest values since the last take; what did not change is empty.
  struct Update {
    std::optional<std::string> caption;
    std::map<int, Bar> bars;  // by control id
  };

  // Each records a change and returns true when no delivery for the dialog
  // is queued: the caller must queue one now.
  bool caption(DialogHandle dialog, const std::string& text);
  bool range(DialogHandle dialog, int control, int low, int high);
  bool position(DialogHandle dialog, int control, int position);

  // In the queued delivery: what has gathered. From then on a change queues
  // a new delivery. Empty when the dialog closed meanwhile (forget).
  std::optional<Update> take(DialogHandle dialog);

  // The dialog closed: its changes are dropped and a delivery still queued
  // finds nothing.
  void forget(DialogHandle dialog);

  // For tests: changes that rode along with a queued delivery, deliveries
  // that found their dialog.
  long long merged() const { return merged_.load(); }
  long long delivered() const { return delivered_.load(); }

 private:
  struct Pending {
    bool queued = false;
    Update update;
  };
  bool record(DialogHandle dialog, const std::function<void(Update&)>& change);

  std::mutex lock_;
  std::map<DialogHandle, Pending> pending_;
  std::atomic<long long> merged_{0};
  std::atomic<long long> delivered_{0};
};

}  // namespace frontend
