// When a stream state may be freed while its streams' callbacks may still
// run (a device that died under them, a JACK server that went away). Each
// callback counts its entries and exits around every look at the state, so
// the count is odd while it runs. The main thread takes the state out of
// the callbacks' reach first, then waits until each callback that was
// running at that moment has left; one that enters later finds no state.
// Entry and the state's pointer are sequentially consistent, so that of
// the callback's entry and the main thread's look at the count, the later
// always sees the earlier.
#pragma once

#include <atomic>
#include <cstdint>
#include <sched.h>

class callback_gate {
public:
	void enter() { calls.fetch_add(1, std::memory_order_seq_cst); }
	void leave() { calls.fetch_add(1, std::memory_order_release); }

	// Returns once the run of the callback that was inside, if any, is
	// over: at most one period's work.
	void wait_out() const
	{
		const uint64_t at = calls.load(std::memory_order_seq_cst);
		if (!(at & 1))
			return;
		while (calls.load(std::memory_order_acquire) == at)
			sched_yield();
	}

private:
	std::atomic<uint64_t> calls{0};
};

// A callback's whole run inside its gate.
class callback_scope {
public:
	explicit callback_scope(callback_gate &g) : gate(g) { gate.enter(); }
	~callback_scope() { gate.leave(); }
	callback_scope(const callback_scope &) = delete;
	callback_scope &operator=(const callback_scope &) = delete;

private:
	callback_gate &gate;
};
