// A parse that its caller may give up while it runs (a user's interrupt, say).
//
// The caller's question "should I stop?" may need what only the calling thread has (a lock of
// its host, the host's own signal handling), so it is asked on that thread alone: between the
// pieces it takes, while it waits for other threads' pieces, and every kStopPollBytes of text it
// reads. Other threads only read the answer, when they start a piece and as often as the
// calling thread would ask, so a parse on several threads lets go of all of them soon after.
#pragma once

#include <atomic>
#include <cstddef>
#include <thread>

namespace corvina {

// Text read between two looks at the answer: small enough that a stop comes in a blink on one
// thread, large enough that looking costs nothing beside the reading.
inline constexpr size_t kStopPollBytes = size_t{8} << 20;

class StopCheck {
 public:
  // poll(context) is asked on the thread that made the object; no poll: never stop.
  StopCheck(bool (*poll)(void* context), void* context)
      : poll_(poll), context_(context), caller_(std::this_thread::get_id()) {}
  StopCheck(const StopCheck&) = delete;
  StopCheck& operator=(const StopCheck&) = delete;

  // Whether the parse is to stop; on the calling thread, asks first. Once true, true for good.
  bool should_stop() {
    if (stopped_.load(std::memory_order_relaxed)) return true;
    if (poll_ == nullptr || std::this_thread::get_id() != caller_ || !poll_(context_)) {
      return false;
    }
    stopped_.store(true, std::memory_order_relaxed);
    return true;
  }

  bool stopped() const { return stopped_.load(std::memory_order_relaxed); }
  bool can_stop() const { return poll_ != nullptr; }

 private:
  bool (*poll_)(void*);
  void* context_;
  std::thread::id caller_;
  std::atomic<bool> stopped_{false};
};

}  // namespace corvina
