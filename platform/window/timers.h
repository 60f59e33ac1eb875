// The timers of the process's windows, keyed by window and id. A timer is a
// due time, not a queued message: WM_TIMER is generated from it when the
// queue is otherwise idle, so a late timer fires once.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "platform/types.h"

struct DueTimer {
  HWND hwnd;
  UINT_PTR id;
};

class TimerTable {
 public:
  void Set(HWND hwnd, UINT_PTR id, UINT intervalMs, std::uint64_t now);
  bool Kill(HWND hwnd, UINT_PTR id);
  void KillAll(HWND hwnd);
  void Clear();

  // The earliest due time of any timer.
  std::optional<std::uint64_t> NextDue() const;
  // The timer that fell due first (ties: the one set first). Taking it
  // re-arms it one interval after now.
  std::optional<DueTimer> TakeDue(std::uint64_t now, bool remove = true);

 private:
  struct Timer {
    HWND hwnd;
    UINT_PTR id;
    UINT intervalMs;
    std::uint64_t due;
    std::uint64_t order;
  };
  std::vector<Timer> timers_;
  std::uint64_t nextOrder_ = 0;
};
