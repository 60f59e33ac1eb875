#include "platform/window/timers.h"

#include <algorithm>

namespace {

// Win32's USER_TIMER_MINIMUM.
constexpr UINT kMinimumIntervalMs = 10;

}  // namespace

void TimerTable::Set(HWND hwnd, UINT_PTR id, UINT intervalMs, std::uint64_t now) {
  const UINT interval = std::max(intervalMs, kMinimumIntervalMs);
  for (Timer& t : timers_) {
    if (t.hwnd == hwnd && t.id == id) {
      t.intervalMs = interval;
      t.due = now + interval;
      return;
    }
  }
  timers_.push_back(Timer{hwnd, id, interval, now + interval, nextOrder_++});
}

bool TimerTable::Kill(HWND hwnd, UINT_PTR id) {
  const auto it = std::find_if(timers_.begin(), timers_.end(),
                               [&](const Timer& t) { return t.hwnd == hwnd && t.id == id; });
  if (it == timers_.end()) return false;
  timers_.erase(it);
  return true;
}

void TimerTable::KillAll(HWND hwnd) {
  timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [hwnd](const Timer& t) { return t.hwnd == hwnd; }),
                timers_.end());
}

void TimerTable::Clear() { timers_.clear(); }

std::optional<std::uint64_t> TimerTable::NextDue() const {
  std::optional<std::uint64_t> next;
  for (const Timer& t : timers_) {
    if (!next || t.due < *next) next = t.due;
  }
  return next;
}

std::optional<DueTimer> TimerTable::TakeDue(std::uint64_t now, bool remove) {
  Timer* first = nullptr;
  for (Timer& t : timers_) {
    if (t.due > now) continue;
    if (!first || t.due < first->due || (t.due == first->due && t.order < first->order)) first = &t;
  }
  if (!first) return std::nullopt;
  if (remove) first->due = now + first->intervalMs;
  return DueTimer{first->hwnd, first->id};
}
