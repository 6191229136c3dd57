// How much of the calling thread's stack is left below the caller's frame.
//
// The interpreter counts Python frames and C calls, not bytes: a thread started with a small
// stack (threading.stack_size, or a low `ulimit -s` for the main thread) can run out of stack
// long before either count trips. Callers that may be re-entered deeply compare the room left
// with what one more level needs, and refuse before the stack overflows.
#pragma once

#include <cstddef>

namespace corvina {

// Bytes between the current frame and the end of the thread's stack; SIZE_MAX where the
// platform does not tell the stack's bounds. The bounds are looked up once per thread.
size_t stack_room();

}  // namespace corvina
