#include "frontends/common/update_merger.h"

namespace frontend {

bool UpdateMerger::record(DialogHandle dialog, const std::function<void(Update&)>& change) {
  bool queue;
  {
    std::lock_guard lock(lock_);
    Pending& p = pending_[dialog];
    change(p.update);
    queue = !p.queued;
    p.queued = true;
  }
  if (!queue) ++merged_;
  return queue;
}

bool UpdateMerger::caption(DialogHandle dialog, const std::string& text) {
  return record(dialog, [&text](Update& u) { u.caption = text; });
}

bool UpdateMerger::range(DialogHandle dialog, int control, int low, int high) {
  return record(dialog, [&](Update& u) { u.bars[control].range = std::make_pair(low, high); });
}

bool UpdateMerger::position(DialogHandle dialog, int control, int position) {
  return record(dialog, [&](Update& u) { u.bars[control].position = position; });
}

std::optional<UpdateMerger::Update> UpdateMerger::take(DialogHandle dialog) {
  Update update;
  {
    std::lock_guard lock(lock_);
    auto it = pending_.find(dialog);
    if (it == pending_.end()) return std::nullopt;
    update = std::move(it->second.update);
    it->second = Pending{};
  }
  ++delivered_;
  return update;
}

void UpdateMerger::forget(DialogHandle dialog) {
  std::lock_guard lock(lock_);
  pending_.erase(dialog);
}

}  // namespace frontend
