// The audio engine: the sound driver "zvaudio" of the SIP library, its eight
// tracks, the device selection and the recorder. Everything here is called
// on the main thread unless said otherwise.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sipstack.h"

// The module record: name "zvaudio", type "sound".
extern "C" const struct mod_export exports_zvaudio;

// The device dictionary ("drivers", "input", "output", "error_msg", and
// "running": false after a start of the streams that failed), NULL when
// there is none. It is replaced by device commands and restarts: fetch
// it each time, keep no pointer.
struct odict *zvaudio_info(void);

// True while the streams exist.
bool zvaudio_running(void);

// The tracks that carry calls, by id: the callers' tracks 1 to
// ZVAUDIO_CALL_TRACKS and the on-air stream's track. They exist while the
// module is loaded; the local input's track is the engine's own.
constexpr uint32_t ZVAUDIO_STREAM_TRACK = 0;
constexpr uint32_t ZVAUDIO_CALL_TRACKS = 6;

// True when track id exists.
bool zvaudio_track_exists(uint32_t id);

// The call bound to track id; NULL when the track is free or does not exist.
struct call *zvaudio_track_call(uint32_t id);

// Binds call to track id, in place of the one bound before: the driver's
// source and player that the call opens next play on this track. Unbind
// frees the track; audio already playing stays where it is until its source
// and player close. 0, or ENOENT when the track does not exist.
int zvaudio_track_bind(uint32_t id, struct call *call);
void zvaudio_track_unbind(uint32_t id);

// The meter slot of track id's call audio (below ZVAUDIO_METER_SLOTS), -1
// when the track does not exist.
int zvaudio_track_meter_slot(uint32_t id);

// The period's switches; the next period uses the new value.
void zvaudio_set_monorecord(bool on);
void zvaudio_set_monostream(bool on);
void zvaudio_set_mute(bool on);
void zvaudio_set_monitoring(bool on);

// Device commands of the page. Each rebuilds the device dictionary and
// restarts the streams; 0, ENODEV when the sound system cannot start, or
// ENOMEM when the new dictionary cannot be made. A host API is one of
// PortAudio's sound systems (JACK, ALSA...), listed as "drivers"; the ids
// are PortAudio's indexes.
int zvaudio_reload(void);
int zvaudio_set_host_api(int id);
int zvaudio_set_input(int id);
int zvaudio_set_first_input_channel(int channel);
int zvaudio_set_output(int id);

// Shows text as "error_msg" of the device dictionary and pushes it.
void zvaudio_set_error(const char *text);

// The receive figures of a call track's call, copied from the calls'
// thread: false when the track has no call's audio bound.
struct zvaudio_receive_figures {
	uint32_t buffer_ms; // audio waiting to be played
	uint32_t delay_ms;  // how long the fastest packets wait now
	uint32_t jitter_ms; // the arrival delay the target covers
	int32_t skew_ppm;   // the far clock against ours
	uint32_t packets;   // packets waiting
	uint32_t received;  // packets put into the buffer, each once
	uint32_t lost;      // expected from the sequence numbers, not received
	uint32_t late;      // came after their turn and were dropped
	uint32_t late_lost; // of them, those whose turn was concealed
	uint32_t oos;       // came out of order
	uint32_t dups;
	uint32_t overflow;     // dropped for want of room
	uint32_t flush;        // times the buffer started afresh
	uint32_t concealed_ms; // audio made up for packets that were not there
};
bool zvaudio_track_receive(uint32_t id, struct zvaudio_receive_figures *f);

// Switches recording on or off.
void zvaudio_record_set(bool on);

// Milliseconds of audio written to the local file of the running
// recording; 0 when none runs.
int32_t zvaudio_record_time(void);

// Opens the current recordings folder in the file manager, from a thread
// of its own; failures are logged.
void zvaudio_open_folder(void);

// The level meters: slot 0 the local input, 2k - 1 caller k's call audio.
constexpr unsigned ZVAUDIO_METER_SLOTS = 32;

// Moves the peaks (1.0 full scale) that the periods raised since the last
// call into snapshot, each slot's left before its right, and starts them
// again from 0. Any thread.
void zvaudio_meter_take(float snapshot[ZVAUDIO_METER_SLOTS][2]);

// What the engine asks of the program around it. The web app registers its
// handlers at its start and takes them back at its close; a handler that is
// NULL, or none registered, leaves the engine to its own default.
struct zvaudio_handlers {
	// Calls' thread, the engine's lock held, for every call track (by id)
	// with a bound player: fills the first samples values of sampv (48 kHz stereo
	// 16-bit) through the player's write handler wh with arg, then applies
	// the track's volume and channel mix. No allocation, no lock, no
	// logging. Default: the write handler alone.
	void (*play)(uint32_t track, int16_t *sampv, auplay_write_h *wh, size_t samples, void *arg);
	// Main thread: the device dictionary (zvaudio_info) changed.
	void (*devices_changed)(void);
	// Main thread: the recording stopped or could not start, with text
	// telling why; the recording is switched off.
	void (*record_failed)(const char *text);
};

// Main thread: handlers (NULL: none) from now on; the record must outlive
// its registration.
void zvaudio_handlers_set(const struct zvaudio_handlers *handlers);
