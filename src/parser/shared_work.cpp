#include "shared_work.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

namespace corvina {
namespace {

// Where this code is a library loaded at run time (the Python module), glibc gives each thread
// its share of the library's thread-local storage only when the thread first touches it, and
// ends the process if it cannot allocate it then. Throwing touches it (the runtime keeps the
// exceptions in flight there), and a piece throws above all when memory has run out. So a thread
// touches it before it takes a piece, while memory is still at hand, and running out later is a
// std::bad_alloc rethrown to the caller rather than the end of the process.
void claim_thread_local_storage() {
  // Volatile, for the call is declared pure and would otherwise go.
  const volatile int in_flight = std::uncaught_exceptions();
  static_cast<void>(in_flight);
}

// What the threads of one run share; each started thread holds it, so it outlives the run.
class SharedWork {
 public:
  SharedWork(size_t count, std::function<void(size_t)> body)
      : body_(std::move(body)), thrown_(count) {}

  void take_pieces() {
    const size_t count = thrown_.size();
    for (size_t i; (i = next_.fetch_add(1, std::memory_order_relaxed)) < count;) {
      try {
        body_(i);
      } catch (...) {
        thrown_[i] = std::current_exception();
      }
      const std::lock_guard lock(mutex_);
      if (++done_ == count) finished_.notify_all();
    }
  }

  // A mutex and a condition variable, not std::atomic::wait: where libstdc++ has no futex
  // (MinGW-w64's GCC 12 among others), its atomic wait reads the value before it takes the lock
  // it sleeps under, and a notify that falls in between is lost: the caller then waits forever.
  // Taken once per piece, the lock costs nothing beside the piece.
  //
  // The failure rethrown is moved out first: a thread still letting go of the work must not
  // drop the last reference to the exception while the caller handles it.
  void wait_and_rethrow() {
    std::exception_ptr first;
    {
      std::unique_lock lock(mutex_);
      finished_.wait(lock, [this] { return done_ == thrown_.size(); });
      for (std::exception_ptr& thrown : thrown_) {
        if (thrown) {
          first = std::move(thrown);
          break;
        }
      }
    }
    if (first) std::rethrow_exception(std::move(first));
  }

 private:
  std::function<void(size_t)> body_;  // called only while pieces are left
  std::vector<std::exception_ptr> thrown_;
  std::atomic<size_t> next_{0};
  std::mutex mutex_;
  std::condition_variable finished_;
  size_t done_ = 0;  // under mutex_
};

}  // namespace

void run_shared_work(size_t count, size_t threads, std::function<void(size_t)> body) {
  if (count == 0) return;
  if (count == 1 || threads <= 1) {
    for (size_t i = 0; i < count; ++i) body(i);
    return;
  }
  const auto work = std::make_shared<SharedWork>(count, std::move(body));
  for (size_t started = 1; started < std::min(threads, count); ++started) {
    try {
      std::thread([work] {
        claim_thread_local_storage();
        work->take_pieces();
      }).detach();
    } catch (const std::system_error&) {
      break;
    }
  }
  work->take_pieces();
  work->wait_and_rethrow();
}

}  // namespace corvina
