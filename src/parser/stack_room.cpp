#include "stack_room.h"

#include <cstdint>

#if defined(_WIN32)
#include <windows.h>
#elif defined(__APPLE__)
#include <pthread.h>
#elif defined(__linux__) || defined(__FreeBSD__)
#include <pthread.h>
#if defined(__FreeBSD__)
#include <pthread_np.h>
#endif
#endif

namespace corvina {

namespace {

constexpr uintptr_t kUnknown = 0;

// The lowest address of the thread's stack (stacks grow down on every platform we build for).
uintptr_t find_stack_end() {
#if defined(_WIN32)
  ULONG_PTR low = 0;
  ULONG_PTR high = 0;
  GetCurrentThreadStackLimits(&low, &high);
  // The last pages are the guard that raises the overflow; keep clear of them too.
  return static_cast<uintptr_t>(low) + 64 * 1024;
#elif defined(__APPLE__)
  pthread_t self = pthread_self();
  const auto top = reinterpret_cast<uintptr_t>(pthread_get_stackaddr_np(self));
  return top - pthread_get_stacksize_np(self);
#elif defined(__linux__) || defined(__FreeBSD__)
  pthread_attr_t attributes;
#if defined(__FreeBSD__)
  pthread_attr_init(&attributes);
  if (pthread_attr_get_np(pthread_self(), &attributes) != 0) return kUnknown;
#else
  // For the main thread this reads the stack's mapping and its rlimit, so it is done once.
  if (pthread_getattr_np(pthread_self(), &attributes) != 0) return kUnknown;
#endif
  void* low = nullptr;
  size_t size = 0;
  const int failed = pthread_attr_getstack(&attributes, &low, &size);
  pthread_attr_destroy(&attributes);
  return failed != 0 ? kUnknown : reinterpret_cast<uintptr_t>(low);
#else
  return kUnknown;
#endif
}

uintptr_t current_frame() {
#if defined(__GNUC__) || defined(__clang__)
  // Not the address of a local: under AddressSanitizer locals may live on a heap-allocated
  // fake stack.
  return reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
#else
  volatile char probe = 0;
  return reinterpret_cast<uintptr_t>(&probe);
#endif
}

}  // namespace

size_t stack_room() {
  thread_local const uintptr_t end = find_stack_end();
  const uintptr_t here = current_frame();
  if (end == kUnknown) return SIZE_MAX;
  return here > end ? here - end : 0;
}

}  // namespace corvina
