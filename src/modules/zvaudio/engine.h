// The engine's own state, shared by its source files.
#pragma once

#include <atomic>
#include <cstdint>

#include <portaudio.h>
#include <samplerate.h>

#include "ring.h"
#include "zvaudio.h"

// Engine audio is 48 kHz interleaved stereo int16. One period carries at
// most 9600 frames at 48 kHz and at most 4800 frames of device input.
constexpr uint32_t ZV_RATE = 48000;
constexpr size_t ZV_PERIOD_VALUES = 19200;       // 9600 stereo frames
constexpr uint32_t ZV_MAX_DEVICE_FRAMES = 4800;
constexpr size_t ZV_RING_FRAMES = 16384;

struct zvaudio_stream_state {
	int16_t *s16;                 // the local signal at 48 kHz
	float *in_f;                  // the picked device input, stereo float
	float *rs_f;                  // resampler output
	float *out_f;                 // the monitor mix as float
	float *ring_data;             // storage of ring: one stereo float frame per element
	spsc_ring ring;
	std::atomic<bool> started;    // the output has read a full buffer
	bool jack;                    // the streams are JACK's
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

	int driver_index = -1;
	int input_index = -1;
	int output_index = -1;
	std::atomic<int> first_input_channel{0};
	bool device_error;
	bool pa_initialised;
	bool reset_pending;           // a reset waits for old streams to close
	zvaudio_stream_state *stream;
	SRC_STATE *src_in;
	SRC_STATE *src_out;
	char error_text[512];
	struct tmr debug_timer;
	struct tmr watchdog_timer;

	std::atomic<bool> monitoring{true};
	std::atomic<bool> monostream{true};
	std::atomic<bool> monorecord{true};
	std::atomic<bool> mute{false};

	std::atomic<uint16_t> warmup_periods{0};
	uint64_t total_frames;        // input thread only
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
};

extern zvaudio_engine zva;

// The period and the stream callbacks.
void zvaudio_process(const float *input, uint32_t frames);
int input_callback(const void *input, void *output, unsigned long frames,
		   const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user);
int output_callback(const void *input, void *output, unsigned long frames,
		    const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user);
void zvaudio_debug(void *arg);
void zvaudio_log_period_errors();

// The driver's source and player.
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

// Tracks: the eight records, and their release.
int zvaudio_tracks_init();
void zvaudio_tracks_close();

// Devices and streams.
void zvaudio_drivers();
void zvaudio_devices();
void zvaudio_start();
int zvaudio_reset();
void zvaudio_stream_watchdog(void *arg);
zvaudio_stream_state *zvaudio_stream_state_alloc();

// Releases the stream state; the module's pointer becomes NULL at once,
// and no callback reaches the state afterwards. Streams of a lost JACK
// server stay open; others that cannot be closed at once go to a thread of
// their own: while it runs, PortAudio must not be called.
void zvaudio_stream_release();
bool zvaudio_streams_closing();

// The PortAudio session: begin sets pa_initialised; end terminates it and
// is false when the session must be kept (its JACK server went away).
PaError zvaudio_pa_begin();
bool zvaudio_pa_end();
// The JACK server of the session went away (any thread).
bool zvaudio_jack_lost();

// Detaches every source and player still bound, before the tracks go.
void zvaudio_unbind_all();
