#include "shared_work.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
#include <utility>
#include <vector>

#if defined(__unix__) || defined(__APPLE__)
#include <pthread.h>
#include <signal.h>
#define CORVINA_POSIX_THREADS 1
#endif

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

// How often a caller waiting for other threads' pieces calls its while_waiting.
constexpr auto kWaitingPoll = std::chrono::milliseconds(20);

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
  void wait_and_rethrow(const std::function<void()>& while_waiting) {
    std::exception_ptr first;
    {
      std::unique_lock lock(mutex_);
      const auto all_done = [this] { return done_ == thrown_.size(); };
      if (while_waiting) {
        while (!finished_.wait_for(lock, kWaitingPoll, all_done)) {
          lock.unlock();
          while_waiting();
          lock.lock();
        }
      } else {
        finished_.wait(lock, all_done);
      }
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

// Threads that have done their share of a run and wait a while for the next one. A thread
// started for each run begins its first piece milliseconds after the call, where a waiting one
// is woken in a fraction of one: comparable to the whole run of a statement of some megabytes,
// and a parse of UTF-8 runs twice (the check, then the pieces). A thread that has waited
// kWaitingTime for work ends.
constexpr auto kWaitingTime = std::chrono::seconds(2);

class WaitingThreads {
 public:
  // Hands `work` to a waiting thread; false when none waits.
  bool hand(const std::shared_ptr<SharedWork>& work) {
    const std::lock_guard lock(mutex_);
    if (waiting_.empty()) return false;
    Waiting* const thread = waiting_.back();
    waiting_.pop_back();
    thread->work = work;
    thread->woken.notify_one();
    return true;
  }

  // The loop of a thread: `work`, then the work handed to it, until it has waited in vain.
  void serve(std::shared_ptr<SharedWork> work) {
    claim_thread_local_storage();
    Waiting self;
    while (work != nullptr) {
      work->take_pieces();
      work.reset();  // before waiting: the run's caller may be gone already
      std::unique_lock lock(mutex_);
      try {
        waiting_.push_back(&self);
      } catch (const std::bad_alloc&) {
        return;  // no room to wait in: the thread ends, as it would have done unasked
      }
      if (!self.woken.wait_for(lock, kWaitingTime, [&self] { return self.work != nullptr; })) {
        std::erase(waiting_, &self);
        return;
      }
      work = std::move(self.work);
    }
  }

  static WaitingThreads& instance() {
    // Never destroyed: waiting threads still wait on it while the process exits.
    static WaitingThreads* const threads = [] {
      auto* made = new WaitingThreads;
#if defined(CORVINA_POSIX_THREADS)
      // A child forked while a thread held the lock would wait for it forever, so the lock is
      // taken around the fork. The child has none of the waiting threads: it starts its own.
      (void)pthread_atfork([] { instance().mutex_.lock(); }, [] { instance().mutex_.unlock(); },
                           [] {
                             instance().waiting_.clear();
                             instance().mutex_.unlock();
                           });
#endif
      return made;
    }();
    return *threads;
  }

 private:
  struct Waiting {
    std::condition_variable woken;
    std::shared_ptr<SharedWork> work;  // under mutex_
  };

  std::mutex mutex_;
  std::vector<Waiting*> waiting_;  // under mutex_; the last to wait is woken first
};

// Made as the library loads, before any thread can ask for it. Made by the first run instead,
// it could be half made when another thread forks (registering its fork handlers waits for the
// fork to end), and the child, asking for it, would wait forever for a thread it does not have.
[[maybe_unused]] WaitingThreads& waiting_threads_at_load = WaitingThreads::instance();

}  // namespace

bool start_detached_thread(std::function<void()> body) {
#if defined(CORVINA_POSIX_THREADS)
  sigset_t all;
  sigset_t before;
  sigfillset(&all);
  const bool masked = pthread_sigmask(SIG_SETMASK, &all, &before) == 0;
#endif
  bool started = true;
  try {
    std::thread(std::move(body)).detach();
  } catch (...) {  // std::system_error, or std::bad_alloc for the thread's state
    started = false;
  }
#if defined(CORVINA_POSIX_THREADS)
  if (masked) pthread_sigmask(SIG_SETMASK, &before, nullptr);
#endif
  return started;
}

void after_fork_in_child(void (*handler)()) {
#if defined(CORVINA_POSIX_THREADS)
  (void)pthread_atfork(nullptr, nullptr, handler);
#else
  static_cast<void>(handler);
#endif
}

void run_shared_work(size_t count, size_t threads, std::function<void(size_t)> body,
                     const std::function<void()>& while_waiting) {
  if (count == 0) return;
  if (count == 1 || threads <= 1) {
    for (size_t i = 0; i < count; ++i) body(i);
    return;
  }
  const auto work = std::make_shared<SharedWork>(count, std::move(body));
  WaitingThreads& waiting = WaitingThreads::instance();
  for (size_t started = 1; started < std::min(threads, count); ++started) {
    // A thread that cannot be started is no failure, and nothing is thrown: threads already
    // handed the work may be taking pieces that refer to the caller's frame, so the caller
    // takes the rest and waits for them as usual.
    if (!waiting.hand(work) &&
        !start_detached_thread([work] { WaitingThreads::instance().serve(work); })) {
      break;
    }
  }
  work->take_pieces();
  work->wait_and_rethrow(while_waiting);
}

}  // namespace corvina
