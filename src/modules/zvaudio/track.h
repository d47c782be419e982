// One track of the engine, the engine's own record. The eight records live in
// zva.track_list in a fixed order from module init to module close: the local
// input (id 0), the callers' tracks 1 to ZVAUDIO_CALL_TRACKS, the on-air
// stream's track (id ZVAUDIO_STREAM_TRACK). The program around the engine
// reaches the call tracks by id only (zvaudio_track_* in zvaudio.h).
#pragma once

#include <atomic>
#include <cstdint>

#include "sipstack.h"

struct ausrc_st;
struct auplay_st;
struct call_path;
struct record_fifo;
struct record_writer;

struct track {
	struct le le; // element of the track list, data = the record

	// Bound by the driver's source and player, under engine_lock; the
	// period reads only the two flags.
	struct ausrc_st *src;
	struct auplay_st *play;
	int32_t *mixminus;      // this caller's sum of the other callers
	struct call_path *path; // the call's audio between the period and the calls' thread

	int8_t ch;                     // meter slot of the call audio
	std::atomic<bool> src_active;  // src is bound
	std::atomic<bool> play_active; // play is bound

	struct call *call; // the call bound here (zvaudio_track_bind); NULL = free (main thread)
	bool is_stream_track;
	bool local;
	uint32_t id; // track number

	float *meter_buf; // one period of call audio as float (remote tracks)

	// The recording's feed: the period writes the track's audio into ab,
	// which the recorder makes for each recording, and notes that call
	// audio reached it.
	std::atomic<bool> rec_used; // call audio reached the current recording
	struct record_fifo *ab;     // recording buffer while the track is recorded, else NULL
	struct record_writer
		*writer; // the recorder's own record of the track; NULL: not recordable
};

// The call track with id (not the local one), or NULL.
struct track *zvaudio_track_find(uint32_t id);
