// The process's queue of posted messages: filled from any thread, emptied by
// the user-interface thread.
#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "platform/types.h"

struct PostedMessage {
  HWND hwnd;
  UINT message;
  WPARAM wParam;
  LPARAM lParam;
  DWORD time;
};

class MessageQueue {
 public:
  // Called after every post, on the posting thread (the sdl backend wakes
  // its event wait with it).
  void SetWakeHook(std::function<void()> hook);

  void Post(const PostedMessage& message);
  bool Take(PostedMessage* message, bool remove);
  bool Empty() const;
  // Waits in real time until the queue is not empty; true when it is not.
  bool WaitForMessage(int timeoutMs);
  void RemoveFor(HWND hwnd);
  void Clear();

 private:
  mutable std::mutex mutex_;
  std::condition_variable posted_;
  std::deque<PostedMessage> messages_;
  std::function<void()> wakeHook_;
};
