// The audio engine: the sound driver "zvaudio" of the SIP library, its eight
// tracks, the device selection and the recorder. Everything here is called
// on the main thread unless said otherwise.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include "sipstack.h"

struct ausrc_st;
struct auplay_st;
struct record_fifo;
struct record_writer;
struct call_path;

// One track of the engine. The eight records live in zvaudio_tracks() in a
// fixed order from module init to module close: the local input (id 0),
// remote tracks 1 to 6, the on-air stream track (id 0).
struct track {
	struct le le;                 // element of the track list, data = the record

	// Bound by the driver's source and player, under engine_lock; the
	// period reads only the two flags.
	struct ausrc_st *src;
	struct auplay_st *play;
	int32_t *mixminus;            // this caller's sum of the other callers
	struct call_path *path;       // the call's audio between the period and the calls' thread

	int8_t ch;                    // meter slot of the call audio
	std::atomic<bool> src_active; // src is bound
	std::atomic<bool> play_active;// play is bound

	struct call *call;            // the call the web app put here; NULL = free (main thread)
	bool is_stream_track;
	bool local;
	uint32_t id;                  // track number

	// Set on the main thread, read by the engine period.
	std::atomic<int32_t> chmix;   // 0 stereo, 1 left on both sides, 2 right on both sides
	const char *state;            // text of the call's state, constant, not owned
	std::atomic<double> volume;   // linear gain of the call audio

	float *meter_buf;             // one period of call audio as float (remote tracks)

	// The recording's feed: the period writes the track's audio into ab,
	// which the recorder makes for each recording, and notes that call
	// audio reached it.
	std::atomic<bool> rec_used;   // call audio reached the current recording
	struct record_fifo *ab;       // recording buffer while the track is recorded, else NULL
	struct record_writer *writer; // the recorder's own record of the track; NULL: not recordable
};

// Guards the tracks' source and player slots (src, play and the two active
// flags) between the main thread and the calls' thread, which runs the SIP
// library's read and write handlers inside it, so that no handler runs on a
// call being torn down. Always the outer lock: the SIP library's own locks
// are taken inside it, never around it. The engine period never takes it.
// It exists for the whole process.
extern std::mutex engine_lock;

// Held by the engine period for its whole run. Other threads take it only to
// change a few values at a period boundary (the recorder's stop point), so
// the period never waits longer than that; the holder inherits the period's
// priority.
class period_mutex {
public:
	period_mutex();
	void lock();
	void unlock();

private:
	pthread_mutex_t m;
};
extern period_mutex period_lock;

// The module record: name "zvaudio", type "sound".
extern "C" const struct mod_export exports_zvaudio;

// The eight tracks in list order; valid while the module is loaded. The web
// app walks it without engine_lock.
struct list *zvaudio_tracks(void);

// The device dictionary ("drivers", "input", "output", "error_msg", and
// "running": false after a start of the streams that failed), NULL when
// there is none. It is replaced by device commands and restarts: fetch
// it each time, keep no pointer.
struct odict *zvaudio_info(void);

// True while the streams exist.
bool zvaudio_running(void);

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
	uint32_t buffer_ms;           // audio waiting to be played
	uint32_t delay_ms;            // how long the fastest packets wait now
	uint32_t jitter_ms;           // the arrival delay the target covers
	int32_t skew_ppm;             // the far clock against ours
	uint32_t packets;             // packets waiting
	uint32_t received;            // packets put into the buffer, each once
	uint32_t lost;                // expected from the sequence numbers, not received
	uint32_t late;                // came after their turn and were dropped
	uint32_t late_lost;           // of them, those whose turn was concealed
	uint32_t oos;                 // came out of order
	uint32_t dups;
	uint32_t overflow;            // dropped for want of room
	uint32_t flush;               // times the buffer started afresh
	uint32_t concealed_ms;        // audio made up for packets that were not there
};
bool zvaudio_track_receive(const struct track *t, struct zvaudio_receive_figures *f);

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
	// Calls' thread, engine_lock held, for every call track with a bound
	// player: fills the first samples values of sampv (48 kHz stereo
	// 16-bit) through the player's write handler wh with arg, then applies
	// the track's volume and channel mix. No allocation, no lock, no
	// logging. Default: the write handler alone.
	void (*play)(struct track *track, int16_t *sampv, auplay_write_h *wh, size_t samples,
		     void *arg);
	// Main thread: the device dictionary (zvaudio_info) changed.
	void (*devices_changed)(void);
	// Main thread: the recording stopped or could not start, with text
	// telling why; the recording is switched off.
	void (*record_failed)(const char *text);
};

// Main thread: handlers (NULL: none) from now on; the record must outlive
// its registration.
void zvaudio_handlers_set(const struct zvaudio_handlers *handlers);
