// Work cut into pieces and done on several threads at once.
#pragma once

#include <cstddef>
#include <functional>

namespace corvina {

// Runs body(i) for every i below `count` on up to `threads` threads, the calling one among them,
// each taking the next i not yet taken; returns once every body has, rethrowing the first
// exception in order of i.
//
// A thread that the system leaves waiting for a core holds up at most the piece it took, not a
// fixed share of the work; one that starts only after the work is over finds nothing left and
// touches nothing but the shared counters, so the caller waits for the work, never for a thread.
// No thread to be had is no failure: the threads that did start, and the caller, do the rest.
// The threads are the process's: one that has done its share waits two seconds for the next
// run before it ends, and a child forked meanwhile starts its own.
//
// `while_waiting`, when given, is called on the calling thread every few hundredths of a second
// while it waits for the pieces of other threads (it may tell the bodies to finish early).
void run_shared_work(size_t count, size_t threads, std::function<void(size_t)> body,
                     const std::function<void()>& while_waiting = {});

// Has `handler` run in the child of every later fork (on the one thread the child has), where
// the platform forks at all; the handler must only reset plain memory.
void after_fork_in_child(void (*handler)());

// Starts a detached thread that runs `body`, with every signal blocked where there are signals:
// signals meant for the process then go to its own threads, which wait for them. False when no
// thread can be started (nothing is thrown).
bool start_detached_thread(std::function<void()> body);

}  // namespace corvina
