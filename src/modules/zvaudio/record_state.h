// What the recorder's main-thread side (record.cpp) and its writer threads
// (record_writer.cpp) share: a few atomic values and the bell on which idle
// writers sleep. Its names are the recorder's own (namespace zvrec), out of
// the program's sight.
#pragma once

#include <atomic>
#include <cstdint>

#include "platform.h"
#include "track.h"

namespace zvrec {

enum rec_state : int32_t { REC_IDLE = 0, REC_START = 1, REC_RUNNING = 2, REC_STOPPING = 3 };
enum rec_error : int32_t {
	REC_ERR_CREATE = 1,
	REC_ERR_WRITE = 2,
	REC_ERR_SLOW = 3,
	REC_ERR_BUSY = 4,
	REC_ERR_DEVICE = 5,
	REC_ERR_NO_DEVICE = 6,
};

constexpr size_t block_values = 1920; // 20 ms of stereo audio

struct recorder_state {
	std::atomic<int32_t> state{REC_IDLE};
	std::atomic<bool> enabled{false};
	std::atomic<uint64_t> stop_at{0};
	std::atomic<int32_t> open_tracks{0};
	std::atomic<int32_t> error{0};
	std::atomic<int32_t> time_ms{0};
	std::atomic<uint64_t> total{0};
	uint64_t woken_at = 0;     // total when the period last woke the writers
	bool folder_ready = false; // the base folder is known
	int marker_fd = -1;        // the recording folder's marker, open while recording
	// A stop made by the period, logged by the main thread.
	std::atomic<bool> stop_unlogged{false};
};

// Idle writers sleep until seq changes. Whoever has work for them adds to
// it and wakes one sleeper; each writer woken wakes the next, so that the
// period pays for one wake-up at most.
struct writer_bell {
	std::atomic<int32_t> seq{0};
	std::atomic<int32_t> sleepers{0};

	void ring()
	{
		seq.fetch_add(1);
		if (sleepers.load())
			zv_wake_by_address_single(&seq);
	}
	void ring_all()
	{
		seq.fetch_add(1);
		if (sleepers.load())
			zv_wake_by_address_all(&seq);
	}
	void wait(int32_t seen)
	{
		sleepers.fetch_add(1);
		while (seq.load() == seen)
			zv_wait_on_address(&seq, seen, -1);
		if (sleepers.fetch_sub(1) > 1)
			zv_wake_by_address_single(&seq);
	}
};

extern recorder_state recorder;
extern writer_bell bell;
// The current recording folder.
extern char folder[256];

// Removes the current folder's marker: its recording has finished.
void marker_remove();

// The first error raised wins until the error timer has taken it.
void raise_error(int32_t code);

// The track's encoder and file in the current folder (record_writer.cpp).
// Open: 0, ENOMEM or EIO. Close: the encoder finished and deleted with its
// metadata, the file closed; nothing for a track without them.
int encoder_open(struct track *t);
void encoder_close(struct track *t);

// The writer of one track for one recording, a thread of its own: it
// encodes the track's buffer and closes the file at the stop point, then
// ends. Start: 0 or the error of the thread's start. End: the writer
// stopped and joined, if it runs.
int writer_start(struct track *t);
void writer_end(struct track *t);

}
