// The engine's own state, shared by its source files.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <pthread.h>

#include <portaudio.h>
#include <samplerate.h>

#include "callback_gate.h"
#include "clock_follow.h"
#include "ring.h"
#include "track.h"
#include "zvaudio.h"

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

// Engine audio is 48 kHz interleaved stereo int16. One period carries at
// most 9600 frames at 48 kHz and at most 4800 frames of device input.
constexpr uint32_t ZV_RATE = 48000;
constexpr size_t ZV_PERIOD_VALUES = 19200; // 9600 stereo frames
constexpr uint32_t ZV_MAX_DEVICE_FRAMES = 4800;
constexpr size_t ZV_RING_FRAMES = 16384;
// The output's spare frames in the ring are kept between 1 ms and 11 ms
// where its clock is not the input's; a resampled output starts on 1 ms of
// silence, so that the resampler's first short blocks do not leave it short.
constexpr double OUT_SPARE_LO = 48;
constexpr double OUT_SPARE_BAND = 480;
constexpr size_t OUT_PREFILL = 48;
// first_input_channel's value that mixes every input channel, summed on
// both sides; any other value is the first of two channels picked.
constexpr int ZV_ALL_CHANNELS = 99;
// The periods dropped after a start while the devices settle.
constexpr uint16_t ZV_WARMUP_PERIODS = 16;

// A call track's audio between the engine period and the calls' thread,
// allocated with the track. The period touches only the two rings and its
// own buffers, never a state of the SIP library.
constexpr size_t ZV_PATH_FRAMES = 32768; // two of the largest periods
constexpr size_t ZV_SEND_PERIODS = 16;

struct send_record {
	uint32_t frames;
	uint64_t timestamp; // microseconds at 48 kHz
};

struct call_path {
	// The call's received audio, pulled ahead by the calls' thread.
	spsc_ring rx;
	int16_t *rx_data;
	std::atomic<size_t> rx_from{0}; // ring index where the bound player's audio starts
	// The period's own: this period's call audio, and whether it is mixed.
	int16_t *call;
	bool in_mix;
	bool sends;
	// The frames sent to the call, taken by the calls' thread.
	spsc_ring tx;
	int16_t *tx_data;
	spsc_ring tx_records;
	struct send_record tx_record_data[ZV_SEND_PERIODS];
	int16_t *send; // where the period builds a frame
	// Changed with each player binding, under engine_lock.
	uint32_t play_generation;
	// The calls' thread's own, under engine_lock.
	uint32_t play_seen;
	struct clock_follower follow;
	int16_t *follow_data;
	float *follow_channels;
	struct follow_control control;
	// The call's packets and their playout, when the player is a call's.
	struct call_receive *receive;
	// Where the buffers above live; present once a call has bound.
	uint8_t *buffers;
	size_t buffers_size;
	bool committed;
};

struct zvaudio_stream_state {
	int16_t *s16;     // the local signal at 48 kHz
	float *in_f;      // the picked device input, stereo float
	float *rs_f;      // resampler output
	float *out_f;     // the monitor mix as float
	float *ring_data; // storage of ring: one stereo float frame per element
	spsc_ring ring;
	std::atomic<bool> started; // the output has read a full buffer
	bool jack;                 // the streams are JACK's: one clock, one thread
	// Where the input's and the output's clocks meet: the output's fewest
	// spare frames in the ring since the period last looked, and what keeps
	// them near their floor (a follower of the monitor mix, or the output
	// resampler's ratio); a resampled output starts on a few silent frames.
	std::atomic<long> out_spare;
	struct clock_follower out_follow;
	int16_t *out_follow_data;
	float *out_follow_channels;
	int16_t *out_block;
	struct follow_control out_control;
	double out_speed;
	bool prefilled;
	int64_t next_due_ns; // when the device should give the next period
	SRC_STATE *src_in;   // the input's resampler to 48 kHz
	SRC_STATE *src_out;  // the output's resampler from 48 kHz
	PaStream *in_stream;
	PaStream *out_stream;
	int in_channels;
	int out_channels;
	double in_rate;
	double out_rate;
};

struct zvaudio_engine {
	struct ausrc *source_driver;
	struct auplay *player_driver;
	struct odict *device_info;
	int16_t *mix_buf;
	int16_t *silence_buf;
	struct list track_list;

	int host_api_index = -1; // PortAudio's host API of the devices
	int input_index = -1;
	int output_index = -1;
	std::atomic<int> first_input_channel{0};
	bool device_error;
	bool pa_initialised;
	bool reset_pending; // a reset waits for old streams to close
	// The state the stream callbacks reach, and their gates: the state is
	// freed only once it is out of their reach and none still runs on it.
	std::atomic<zvaudio_stream_state *> stream{nullptr};
	callback_gate input_calls;
	callback_gate output_calls;
	char error_text[512];
	struct tmr debug_timer;
	struct tmr watchdog_timer;
	struct tmr receive_timer;

	std::atomic<bool> monitoring{true};
	std::atomic<bool> monostream{true};
	std::atomic<bool> monorecord{true};
	std::atomic<bool> mute{false};

	std::atomic<uint16_t> warmup_periods{0};
	uint64_t total_frames; // input thread only
	std::atomic<bool> debug_dirty{false};
	std::atomic<uint64_t> out_ur{0};
	std::atomic<uint64_t> in_or{0};
	std::atomic<uint64_t> ring_ur{0};
	std::atomic<uint64_t> ring_or{0};

	// A resampler error of the period, logged by the main thread: the
	// audio thread never logs.
	std::atomic<int> src_in_error{0};
	std::atomic<int> src_out_error{0};
	std::atomic<double> src_in_ratio{0};

	// Makes the input callback end its stream, as a dying device does.
	std::atomic<bool> test_abort{false};

	// The 48 kHz frames the calls' thread pulls ahead for the next period,
	// and when that period is due (CLOCK_MONOTONIC, ns).
	std::atomic<uint32_t> pull_frames{0};
	std::atomic<int64_t> next_period_ns{0};
};

extern zvaudio_engine zva;

// The period and the stream callbacks.
void zvaudio_process(const float *input, uint32_t frames);
// When the next period is due, from when this one was due (0: not known)
// and when it came (CLOCK_MONOTONIC, ns).
int64_t next_period_due(int64_t due, int64_t came, int64_t period_ns);
int input_callback(const void *input, void *output, unsigned long frames,
		   const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user);
int output_callback(const void *input, void *output, unsigned long frames,
		    const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user);
// Each second: what went wrong with the calls' received packets, in the log.
void zvaudio_receive_report(void *arg);
void zvaudio_log_period_errors();

// The registered handlers (zvaudio_handlers), or the engine's defaults.
// Calls' thread, engine_lock held: a call track's audio through its
// player's write handler.
void zvaudio_track_play(struct track *t, int16_t *sampv, auplay_write_h *wh, size_t samples,
			void *arg);
// Main thread: the device dictionary changed.
void zvaudio_devices_changed();
// Main thread: the recording failed with text; it is switched off.
void zvaudio_recording_failed(const char *text);

// Engine period: raises the peaks of meter slot (below ZVAUDIO_METER_SLOTS)
// from frames interleaved stereo float frames, 1.0 being full scale.
// Lock-free.
void zvaudio_meter_update(uint32_t slot, const float *samples, uint32_t frames);

// The SIP library's audio driver (driver.cpp): its source and player.
int zvaudio_src_alloc(struct ausrc_st **stp, const struct ausrc *as, struct media_ctx **ctx,
		      struct ausrc_prm *prm, const char *device, ausrc_read_h *rh,
		      ausrc_error_h *errh, void *arg);
int zvaudio_play_alloc(struct auplay_st **stp, const struct auplay *ap, struct auplay_prm *prm,
		       const char *device, auplay_write_h *wh, void *arg);

struct auplay_st {
	bool run;
	int16_t *sampv;
	size_t sampc;
	auplay_write_h *wh;
	void *arg;
	struct auplay_prm prm;
	struct track *track;
	// The call's audio object when arg is known to be it: its packets then
	// take the receive path.
	struct audio *audio;
};

struct ausrc_st {
	bool run;
	int16_t *sampv;
	size_t sampc;
	ausrc_read_h *rh;
	void *arg;
	struct ausrc_prm prm;
	struct track *track;
};

// The calls' thread: woken by the period once for all calls, it hands the
// period's frames to the calls' read handlers (where the SIP library encodes
// and sends them) and pulls each call's received audio, through the call's
// clock follower, for the next period. Both run inside engine_lock; the
// sends also inside the main loop's lock, which they wait for no later than
// deadline_ns (CLOCK_MONOTONIC; 0: as long as it takes): the frames of a
// main loop that is busy wait in the rings for the next turn.
int zvaudio_calls_start();
void zvaudio_calls_stop();
void zvaudio_calls_wake();
void zvaudio_calls_send(int64_t deadline_ns);
// now_ns: the pull's time (CLOCK_MONOTONIC), against which the calls'
// packets arrived.
void zvaudio_calls_pull(uint32_t frames, int64_t now_ns);
struct call_path *call_path_alloc();
// Makes the path's memory present, before a call's player or source binds.
void call_path_commit(struct call_path *p);
void call_path_free(struct call_path *p);

// Tracks (tracks.cpp): the eight records, and their release.
int zvaudio_tracks_init();
void zvaudio_tracks_close();

// Devices and streams. Open: a new PortAudio session (unless the old one
// must be kept) and the device dictionary built from it, with a stream
// state; 0 or ENODEV when PortAudio cannot start. Start: the two streams
// on the chosen devices, or the failure shown in the device dictionary
// and the state released; 0 or the error. Stop: the streams released and
// the recording finished.
int zvaudio_sound_open();
int zvaudio_start();
void zvaudio_sound_stop();
int zvaudio_reset();
void zvaudio_stream_watchdog(void *arg);
// The state with its buffers and resamplers, no streams yet.
zvaudio_stream_state *zvaudio_stream_state_alloc();
// The output follower's buffers, once the stream state knows its output
// (jack, out_rate); false when they cannot be allocated.
bool zvaudio_out_follower_init(zvaudio_stream_state *st);

// Releases the stream state, its streams first: the one way a state with
// streams goes. The module's pointer becomes NULL at once, and no callback
// reaches the state afterwards: a callback still running on it is waited
// for before anything is freed. Streams of a lost JACK
// server stay open; others that cannot be closed at once go to a thread of
// their own: while it runs, PortAudio must not be called.
void zvaudio_stream_release();
bool zvaudio_streams_closing();

// The PortAudio session: begin sets pa_initialised; end terminates it and
// is false when the session must be kept (its JACK server went away);
// restart ends it and begins a new one unless it is kept, 0 or ENODEV.
PaError zvaudio_pa_begin();
bool zvaudio_pa_end();
int zvaudio_pa_restart();
// The JACK server of the session went away (any thread).
bool zvaudio_jack_lost();
// Takes every connection of PortAudio's JACK client away at once, before
// its streams stop.
void zvaudio_jack_unplug();
// Waits until the JACK client that watches the server has opened; begin
// leaves it opening.
void zvaudio_watch_settle();

// Detaches every source and player still bound, before the tracks go.
void zvaudio_unbind_all();
