// The SIP library's main loop holds one mutex while it runs handlers and
// lets go of it while it waits for the network. The calls' thread takes the
// same mutex around what it does with the library's objects (encoding and
// sending), so that no handler of the main loop changes them under it: a
// re-INVITE's new encoder or send state, a hold, a call's teardown. The
// engine gives the loop a mutex of its own, with priority inheritance, that
// the calls' thread can wait for with a deadline.
#pragma once

#include <cstdint>

// Main thread, before the main loop runs, and after it has ended.
int main_loop_lock_install();
void main_loop_lock_remove();

// Takes the mutex, waiting no later than deadline_ns (CLOCK_MONOTONIC; 0
// for as long as it takes); false when it was not free by then. Without a
// mutex installed there is no main loop to wait for, and it is true.
bool main_loop_lock_until(int64_t deadline_ns);
void main_loop_unlock();
