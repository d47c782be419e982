// The engine period: one input buffer becomes the local signal, every call
// with a player delivers its audio, every caller is sent the local signal
// with the other callers, and the monitor mix is queued for the output.
// The steps below come in the order the audio flows through them.
//
// Everything here runs on the audio threads: the period on the input
// stream's callback, output_callback on the output's (one thread on JACK).
// Their rules:
// - no allocation, no logging, no waiting: every buffer is the stream
//   state's, a track's or a call path's, made before the streams start;
//   what goes wrong is counted in atomics (debug_dirty, the resampler
//   errors) for the main thread's timers to log;
// - the period holds period_lock for its mix; other threads take it only
//   for a few values at a period boundary, so it never waits longer than
//   that; it never takes engine_lock and never touches a state of the SIP
//   library;
// - the calls' audio and the frames sent to them pass through the call
//   paths' rings, which the calls' thread fills and empties; a track's
//   bound source and player are known to the period only by its two
//   active flags;
// - switches of the main thread (zvaudio_set_*, a track's volume and
//   channel mix) are atomics that the next period reads; the meters and
//   the recorder's buffers are taken by other threads without locks.
#include "engine.h"
#include "mixminus.h"
#include "record.h"

#include <algorithm>
#include <bit>
#include <climits>
#include <cstring>
#include <ctime>

namespace {

constexpr float meter_scale = 1.0f / 32767.0f;
static_assert(std::bit_cast<uint32_t>(meter_scale) == 0x38000100);

// Tracks that can carry a call: the six callers and the on-air stream.
constexpr size_t call_tracks = 7;

// The meter slot of the local input.
constexpr uint32_t local_meter_slot = 0;

void count(std::atomic<uint64_t> &counter)
{
	counter.fetch_add(1, std::memory_order_relaxed);
	zva.debug_dirty.store(true, std::memory_order_relaxed);
}

// The first periods after a start are dropped while the devices settle.
bool warming_up()
{
	const uint16_t warm = zva.warmup_periods.load(std::memory_order_relaxed);
	if (warm >= ZV_WARMUP_PERIODS)
		return false;
	zva.warmup_periods.store(uint16_t(warm + 1), std::memory_order_relaxed);
	return true;
}

// When the device will give the next period: the calls' thread decodes
// the calls' audio for it shortly before.
void expect_next_period(zvaudio_stream_state *st, uint32_t frames)
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	const int64_t came = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
	st->next_due_ns =
		next_period_due(st->next_due_ns, came, int64_t(double(frames) * 1e9 / st->in_rate));
}

void pick_input(zvaudio_stream_state *st, const float *input, uint32_t frames)
{
	float *in_f = st->in_f;
	const size_t samples = 2 * size_t(frames);
	if (!input) {
		std::memset(in_f, 0, samples * sizeof(float));
		count(zva.in_or);
		return;
	}

	const int nch = st->in_channels;
	const int first = zva.first_input_channel.load(std::memory_order_relaxed);
	if (first == ZV_ALL_CHANNELS) {
		for (uint32_t f = 0; f < frames; ++f) {
			float s = 0;
			for (int c = 0; c < nch; ++c)
				s += input[size_t(f) * nch + c];
			in_f[2 * f] = in_f[2 * f + 1] = s;
		}
		return;
	}

	const bool mono = zva.monorecord.load(std::memory_order_relaxed);
	const bool has_l = first >= 0 && first < nch;
	const bool has_r = first + 1 >= 0 && first + 1 < nch;
	for (uint32_t f = 0; f < frames; ++f) {
		const float *frame = input + size_t(f) * nch;
		float l = has_l ? frame[first] : 0.0f;
		float r = has_r ? frame[first + 1] : 0.0f;
		in_f[2 * f] = l;
		in_f[2 * f + 1] = mono ? l : r;
	}
}

void mute_input(zvaudio_stream_state *st, uint32_t frames)
{
	if (zva.mute.load(std::memory_order_relaxed))
		std::memset(st->in_f, 0, 2 * size_t(frames) * sizeof(float));
}

// The picked input as the local signal at 48 kHz; the frames it holds, 0
// when the resampler gave none or failed.
uint32_t local_signal(zvaudio_stream_state *st, uint32_t frames)
{
	if (st->in_rate == double(ZV_RATE)) {
		auconv_to_s16(st->s16, AUFMT_FLOAT, st->in_f, 2 * size_t(frames));
		return frames;
	}
	if (!st->src_in)
		return 0;
	SRC_DATA data = {};
	data.data_in = st->in_f;
	data.data_out = st->rs_f;
	data.input_frames = long(frames);
	data.output_frames = long(ZV_PERIOD_VALUES / 2);
	data.src_ratio = double(ZV_RATE) / st->in_rate;
	int e = src_process(st->src_in, &data);
	if (e) {
		zva.src_in_ratio.store(data.src_ratio, std::memory_order_relaxed);
		zva.src_in_error.store(e, std::memory_order_relaxed);
		return 0;
	}
	frames = uint32_t(data.output_frames_gen);
	auconv_to_s16(st->s16, AUFMT_FLOAT, st->rs_f, 2 * size_t(frames));
	return frames;
}

struct track *track_of(struct le *le)
{
	return static_cast<struct track *>(le->data);
}

void record_write(struct track *t, const int16_t *v, size_t samples)
{
	record_fifo_write(t->ab, v, samples);
}

// The call's received audio for this period, from the ring that the calls'
// thread filled ahead; what is missing (the thread fell behind, or the call
// has just begun) is silence.
void take_call_audio(struct call_path *p, size_t frames)
{
	p->rx.skip_to(p->rx_from.load(std::memory_order_acquire));
	const size_t got = p->rx.read(p->call, frames);
	if (got < frames)
		std::memset(p->call + 2 * got, 0, 2 * (frames - got) * sizeof(int16_t));
}

// The frame for the call's transmit path, taken by the calls' thread; the
// frame of a period that finds no room (the thread stalled) is lost.
void send_frame(struct call_path *p, size_t samples, uint64_t timestamp)
{
	const size_t frames = samples / 2;
	if (p->tx.write_available() < frames || !p->tx_records.write_available())
		return;
	p->tx.write(p->send, frames);
	const struct send_record rec = {uint32_t(frames), timestamp};
	p->tx_records.write(&rec, 1);
}

// Which calls take part in this period (a bound player: mixed; and a
// bound source: sent to), and their received audio. True when a call takes
// part, so that the calls' thread has work.
bool take_calls(size_t samples)
{
	bool calls_up = false;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_of(le);
		if (t->local)
			continue;
		struct call_path *p = t->path;
		p->in_mix = t->play_active.load(std::memory_order_acquire);
		p->sends = p->in_mix && t->src_active.load(std::memory_order_acquire);
		if (p->in_mix)
			take_call_audio(p, samples / 2);
		calls_up = calls_up || p->in_mix || t->src_active.load(std::memory_order_relaxed);
	}
	return calls_up;
}

// A mono stream where the picked input is not mono already (monorecord):
// the local signal's two sides as one from here on, after the local track
// recorded it.
void mono_stream(int16_t *s16, size_t samples)
{
	if (!zva.monostream.load(std::memory_order_relaxed) ||
	    zva.monorecord.load(std::memory_order_relaxed))
		return;
	for (size_t k = 0; k + 1 < samples; k += 2) {
		int16_t m = int16_t(s16[k] / 2 + s16[k + 1] / 2);
		s16[k] = s16[k + 1] = m;
	}
}

// The monitor mix begins with the local signal, or silence without
// monitoring.
void start_monitor(const int16_t *s16, size_t samples)
{
	if (zva.monitoring.load(std::memory_order_relaxed))
		std::memcpy(zva.mix_buf, s16, samples * sizeof(int16_t));
	else
		std::memset(zva.mix_buf, 0, samples * sizeof(int16_t));
}

void meter_call(struct track *t, const int16_t *c, size_t samples)
{
	for (size_t k = 0; k < samples; ++k)
		t->meter_buf[k] = float(c[k]) * meter_scale;
	zvaudio_meter_update(uint32_t(t->ch), t->meter_buf, uint32_t(samples / 2));
}

// The calls heard this period: each added to the monitor mix, recorded
// (silence for a recorded track without a call), metered (but the on-air
// stream), and gathered for the mix-minus. The number gathered.
size_t hear_calls(bool rec, size_t samples, const int16_t *calls[], int32_t *mixminus[])
{
	size_t heard = 0;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_of(le);
		if (t->local)
			continue;
		if (!t->path->in_mix) {
			if (rec && t->ab)
				record_write(t, zva.silence_buf, samples);
			continue;
		}
		const int16_t *c = t->path->call;
		mix_add(zva.mix_buf, c, samples);
		if (rec && t->ab) {
			record_write(t, c, samples);
			t->rec_used.store(true, std::memory_order_relaxed);
		}
		if (!t->is_stream_track)
			meter_call(t, c, samples);

		calls[heard] = c;
		mixminus[heard] = t->mixminus;
		++heard;
	}
	return heard;
}

// Every call that is sent to gets the local signal with its mix-minus, or
// the local signal alone when no two calls are heard.
void send_calls(const int16_t *s16, size_t samples, size_t heard)
{
	const size_t pairs = heard ? heard * (heard - 1) : 0;
	const uint64_t timestamp = zva.total_frames * 1000000 / ZV_RATE;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_of(le);
		if (t->local || !t->path->sends)
			continue;
		int16_t *out = t->path->send;
		if (pairs > 0)
			mix_send(out, s16, t->mixminus, samples);
		else
			mix_send_alone(out, s16, samples);
		send_frame(t->path, samples, timestamp);
	}
}

// Everything under period_lock, in this order: the recording gate and the
// local track's record, the calls' audio, the stream's mono, the monitor
// mix with the calls heard, their mix-minus, and the sends. True when a
// call takes part.
bool mix_tracks(int16_t *s16, size_t samples)
{
	const bool rec = zvaudio_record_process(samples);
	struct track *local = track_of(zva.track_list.head);
	if (rec)
		record_write(local, s16, samples);

	const bool calls_up = take_calls(samples);
	mono_stream(s16, samples);
	start_monitor(s16, samples);

	const int16_t *calls[call_tracks];
	int32_t *mixminus[call_tracks];
	const size_t heard = hear_calls(rec, samples, calls, mixminus);
	// Each caller's mix-minus over the others; one caller alone keeps its
	// old one.
	mixminus_build(calls, mixminus, heard, samples);
	send_calls(s16, samples, heard);
	return calls_up;
}

// The calls' thread pulls the calls' audio for the next period, which needs
// about as many frames (a resampled input may give a few more), shortly
// before it is due.
void wake_calls(const zvaudio_stream_state *st, uint32_t frames)
{
	const uint32_t margin = st->in_rate == double(ZV_RATE) ? 0 : 4;
	zva.pull_frames.store(frames + margin, std::memory_order_relaxed);
	zva.next_period_ns.store(st->next_due_ns, std::memory_order_relaxed);
	zvaudio_calls_wake();
}

// The output's spare frames, measured by the output callback, keep the ring
// where the two device clocks meet: the mix is followed a little faster or
// slower than it comes. On JACK both streams run on one clock in one
// thread, and the mix goes to the ring as it is.
double follow_output(zvaudio_stream_state *st)
{
	// The output thread lowers the value and this thread takes it: a
	// measurement lost between the two is one period's.
	const long spare = st->out_spare.exchange(LONG_MAX, std::memory_order_relaxed);
	if (st->jack || spare == LONG_MAX)
		return 0;
	follow_control_update(&st->out_control, &st->out_follow, double(spare));
	return st->out_follow.target;
}

// The monitor mix, at the output's clock and rate, into the ring.
void queue_monitor(zvaudio_stream_state *st, uint32_t frames)
{
	const double speed = follow_output(st);
	const int16_t *mix = zva.mix_buf;
	size_t mix_frames = frames;
	if (st->out_rate == double(ZV_RATE) && !st->jack) {
		// At rest the follower passes the mix on unchanged, a third of a
		// millisecond later.
		struct clock_follower *f = &st->out_follow;
		if (int16_t *in = follow_input(f, frames)) {
			std::memcpy(in, mix, 2 * frames * sizeof(int16_t));
			follow_input_done(f, frames);
		}
		// As many frames as the follower can make of what it holds.
		size_t out = frames + 2;
		while (out && follow_input_needed(f, out))
			--out;
		follow_produce(f, st->out_block, out);
		mix = st->out_block;
		mix_frames = out;
	}
	auconv_from_s16(AUFMT_FLOAT, st->out_f, mix, 2 * mix_frames);

	const float *block = st->out_f;
	size_t block_frames = mix_frames;
	if (st->out_rate != double(ZV_RATE)) {
		if (!st->src_out)
			return;
		st->out_speed = std::clamp(speed, st->out_speed - FOLLOW_SPEED_STEP,
					   st->out_speed + FOLLOW_SPEED_STEP);
		SRC_DATA data = {};
		data.data_in = st->out_f;
		data.data_out = st->rs_f;
		data.input_frames = long(mix_frames);
		data.output_frames = long(ZV_PERIOD_VALUES / 2);
		data.src_ratio = st->out_rate / double(ZV_RATE) / (1.0 + st->out_speed);
		int e = src_process(st->src_out, &data);
		if (e) {
			zva.src_out_error.store(e, std::memory_order_relaxed);
			return;
		}
		block = st->rs_f;
		block_frames = size_t(data.output_frames_gen);
		if (!st->prefilled) {
			static const float silence[2 * OUT_PREFILL] = {};
			st->ring.write(silence, OUT_PREFILL);
			st->prefilled = true;
		}
	}

	if (st->ring.write_available() < block_frames)
		count(zva.ring_or);
	st->ring.write(block, block_frames);
}

}

// The device keeps its own schedule: a period that came late is followed by
// one on time, so the next is expected a period after the earlier of when
// this one came and when it was due. The schedule may move later by a
// little each period (the device's clock against the system's) and starts
// again after a gap.
int64_t next_period_due(int64_t due, int64_t came, int64_t period_ns)
{
	constexpr int64_t slew_ns = 5000;
	const bool on_schedule = due && came - due < period_ns;
	return (on_schedule ? std::min(came, due + slew_ns) : came) + period_ns;
}

void zvaudio_process(const float *input, uint32_t frames)
{
	zvaudio_stream_state *st = zva.stream;
	if (!frames || !st || warming_up() || frames > ZV_MAX_DEVICE_FRAMES)
		return;
	expect_next_period(st, frames);

	pick_input(st, input, frames);
	mute_input(st, frames);
	zvaudio_meter_update(local_meter_slot, st->in_f, frames);
	frames = local_signal(st, frames);
	if (!frames)
		return;

	bool calls;
	{
		std::lock_guard<period_mutex> lock(period_lock);
		calls = mix_tracks(st->s16, 2 * size_t(frames));
	}
	zva.total_frames += frames;
	if (calls)
		wake_calls(st, frames);

	queue_monitor(st, frames);
}

int input_callback(const void *input, void *output, unsigned long frames,
		   const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user)
{
	(void)output;
	(void)time;
	(void)user;
	callback_scope running(zva.input_calls);
	if (status & paInputOverflow)
		count(zva.in_or);
	zvaudio_process(static_cast<const float *>(input), uint32_t(frames));
	return zva.test_abort.load(std::memory_order_relaxed) ? paAbort : paContinue;
}

int output_callback(const void *input, void *output, unsigned long frames,
		    const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user)
{
	(void)input;
	(void)time;
	(void)user;
	callback_scope running(zva.output_calls);
	zvaudio_stream_state *st = zva.stream;
	if (status & paOutputUnderflow)
		count(zva.out_ur);
	auto *out = static_cast<float *>(output);
	const int nch = st ? st->out_channels : 2;
	if (st) {
		const long spare = long(st->ring.read_available()) - long(frames);
		if (spare < st->out_spare.load(std::memory_order_relaxed))
			st->out_spare.store(spare, std::memory_order_relaxed);
	}
	if (!st || st->ring.read_available() < frames) {
		if (st && st->started.load(std::memory_order_relaxed))
			count(zva.ring_ur);
		std::memset(out, 0, frames * size_t(nch) * sizeof(float));
		return paContinue;
	}
	st->started.store(true, std::memory_order_relaxed);
	if (nch == 2) {
		st->ring.read(out, frames);
	}
	else {
		float frame[2];
		for (unsigned long f = 0; f < frames; ++f) {
			st->ring.read(frame, 1);
			out[f] = frame[0];
		}
	}
	return paContinue;
}
