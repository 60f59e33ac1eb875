#include "platform/window/message_queue.h"

#include <algorithm>
#include <chrono>

void MessageQueue::SetWakeHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  wakeHook_ = std::move(hook);
}

void MessageQueue::Post(const PostedMessage& message) {
  std::function<void()> hook;
  {
    std::lock_guard lock(mutex_);
    messages_.push_back(message);
    hook = wakeHook_;
  }
  posted_.notify_all();
  if (hook) hook();
}

bool MessageQueue::Take(PostedMessage* message, bool remove) {
  std::lock_guard lock(mutex_);
  if (messages_.empty()) return false;
  *message = messages_.front();
  if (remove) messages_.pop_front();
  return true;
}

bool MessageQueue::Empty() const {
  std::lock_guard lock(mutex_);
  return messages_.empty();
}

bool MessageQueue::WaitForMessage(int timeoutMs) {
  std::unique_lock lock(mutex_);
  const auto ready = [this] { return !messages_.empty(); };
  if (timeoutMs < 0) {
    posted_.wait(lock, ready);
    return true;
  }
  return posted_.wait_for(lock, std::chrono::milliseconds(timeoutMs), ready);
}

void MessageQueue::RemoveFor(HWND hwnd) {
  std::lock_guard lock(mutex_);
  messages_.erase(std::remove_if(messages_.begin(), messages_.end(),
                                 [hwnd](const PostedMessage& m) { return m.hwnd == hwnd; }),
                  messages_.end());
}

void MessageQueue::Clear() {
  std::lock_guard lock(mutex_);
  messages_.clear();
}
