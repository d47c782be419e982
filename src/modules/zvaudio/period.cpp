// The engine period: one input buffer becomes the local signal, every call
// with a player delivers its audio, every caller is sent the local signal
// with the other callers, and the monitor mix is queued for the output.
#include "engine.h"
#include "mixminus.h"
#include "record.h"
#include "webapp_engine.h"

#include <bit>
#include <cstring>

namespace {

constexpr float meter_scale = 1.0f / 32767.0f;
static_assert(std::bit_cast<uint32_t>(meter_scale) == 0x38000100);

// Tracks that can carry a call: the six callers and the on-air stream.
constexpr size_t call_tracks = 7;

void count(std::atomic<uint64_t> &counter)
{
	counter.fetch_add(1, std::memory_order_relaxed);
	zva.debug_dirty.store(true, std::memory_order_relaxed);
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
	if (first == 99) {
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

void record_write(struct track *t, const int16_t *v, size_t samples)
{
	record_fifo_write(t->ab, v, samples);
}

// Everything under engine_lock: the recording gate and appends, the calls'
// audio, the monitor mix, the mix-minus and the sends.
void mix_tracks(int16_t *s16, size_t samples)
{
	const bool rec = zvaudio_record_process(samples);

	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local) {
			if (rec)
				record_write(t, s16, samples);
		}
		else if (t->play_active) {
			webapp_session_play(t, t->play->sampv, t->play->wh, samples, t->play->arg);
		}
	}

	if (zva.monostream.load(std::memory_order_relaxed) && !zva.monorecord.load(std::memory_order_relaxed)) {
		for (size_t k = 0; k + 1 < samples; k += 2) {
			int16_t m = int16_t(s16[k] / 2 + s16[k + 1] / 2);
			s16[k] = s16[k + 1] = m;
		}
	}

	int16_t *mix = zva.mix_buf;
	if (zva.monitoring.load(std::memory_order_relaxed))
		std::memcpy(mix, s16, samples * sizeof(int16_t));
	else
		std::memset(mix, 0, samples * sizeof(int16_t));

	const int16_t *calls[call_tracks];
	int32_t *mixminus[call_tracks];
	size_t heard = 0;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local)
			continue;
		if (!t->play_active) {
			if (rec && t->ab)
				record_write(t, zva.silence_buf, samples);
			continue;
		}
		const int16_t *c = t->play->sampv;
		mix_add(mix, c, samples);
		if (rec && t->ab) {
			record_write(t, c, samples);
			t->rec_used.store(true, std::memory_order_relaxed);
		}
		if (!t->is_stream_track) {
			for (size_t k = 0; k < samples; ++k)
				t->meter_buf[k] = float(c[k]) * meter_scale;
			webapp_meter_update(uint32_t(t->ch), t->meter_buf, uint32_t(samples / 2));
		}

		calls[heard] = c;
		mixminus[heard] = t->mixminus;
		++heard;
	}
	// Each caller's mix-minus over the others; one caller alone keeps its
	// old one.
	mixminus_build(calls, mixminus, heard, samples);
	const size_t pairs = heard ? heard * (heard - 1) : 0;

	const uint64_t timestamp = zva.total_frames * 1000000 / ZV_RATE;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local || !t->src_active || !t->play_active)
			continue;
		int16_t *out = t->src->sampv;
		if (pairs > 0)
			mix_send(out, s16, t->mixminus, samples);
		else
			mix_send_alone(out, s16, samples);
		struct auframe af;
		auframe_init(&af, AUFMT_S16LE, out, samples);
		af.timestamp = timestamp;
		t->src->rh(&af, t->src->arg);
	}
}

}

void zvaudio_process(const float *input, uint32_t frames)
{
	zvaudio_stream_state *st = zva.stream;
	if (!frames || !st)
		return;
	uint16_t warm = zva.warmup_periods.load(std::memory_order_relaxed);
	if (warm <= 15) {
		zva.warmup_periods.store(uint16_t(warm + 1), std::memory_order_relaxed);
		return;
	}
	if (frames > ZV_MAX_DEVICE_FRAMES)
		return;

	pick_input(st, input, frames);
	size_t samples = 2 * size_t(frames);
	if (zva.mute.load(std::memory_order_relaxed))
		std::memset(st->in_f, 0, samples * sizeof(float));

	webapp_meter_update(0, st->in_f, frames);

	if (st->in_rate == double(ZV_RATE)) {
		auconv_to_s16(st->s16, AUFMT_FLOAT, st->in_f, samples);
	}
	else {
		if (!zva.src_in)
			return;
		SRC_DATA data = {};
		data.data_in = st->in_f;
		data.data_out = st->rs_f;
		data.input_frames = long(frames);
		data.output_frames = long(ZV_PERIOD_VALUES / 2);
		data.src_ratio = double(ZV_RATE) / st->in_rate;
		int e = src_process(zva.src_in, &data);
		if (e) {
			zva.src_in_ratio.store(data.src_ratio, std::memory_order_relaxed);
			zva.src_in_error.store(e, std::memory_order_relaxed);
			return;
		}
		frames = uint32_t(data.output_frames_gen);
		samples = 2 * size_t(frames);
		auconv_to_s16(st->s16, AUFMT_FLOAT, st->rs_f, samples);
		if (!frames)
			return;
	}

	{
		std::lock_guard<std::mutex> lock(engine_lock);
		mix_tracks(st->s16, samples);
	}
	zva.total_frames += frames;

	auconv_from_s16(AUFMT_FLOAT, st->out_f, zva.mix_buf, samples);

	const float *block = st->out_f;
	size_t block_frames = frames;
	if (st->out_rate != double(ZV_RATE)) {
		if (!zva.src_out)
			return;
		SRC_DATA data = {};
		data.data_in = st->out_f;
		data.data_out = st->rs_f;
		data.input_frames = long(frames);
		data.output_frames = long(ZV_PERIOD_VALUES / 2);
		data.src_ratio = st->out_rate / double(ZV_RATE);
		int e = src_process(zva.src_out, &data);
		if (e) {
			zva.src_out_error.store(e, std::memory_order_relaxed);
			return;
		}
		block = st->rs_f;
		block_frames = size_t(data.output_frames_gen);
	}

	if (st->ring.write_available() < block_frames)
		count(zva.ring_or);
	st->ring.write(block, block_frames);
}

int input_callback(const void *input, void *output, unsigned long frames,
		   const PaStreamCallbackTimeInfo *time, PaStreamCallbackFlags status, void *user)
{
	(void)output;
	(void)time;
	(void)user;
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
	zvaudio_stream_state *st = zva.stream;
	if (status & paOutputUnderflow)
		count(zva.out_ur);
	auto *out = static_cast<float *>(output);
	const int nch = st ? st->out_channels : 2;
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

void zvaudio_log_period_errors()
{
	if (int e = zva.src_in_error.exchange(0))
		warning("zvaudio: Samplerate::src_process_in :returned error : %s %f\n", src_strerror(e),
			zva.src_in_ratio.load(std::memory_order_relaxed));
	if (int e = zva.src_out_error.exchange(0))
		warning("zvaudio: Samplerate::src_process_out :returned error : %s\n", src_strerror(e));
}

void zvaudio_debug(void *arg)
{
	(void)arg;
	zvaudio_log_period_errors();
	if (zva.debug_dirty.exchange(false)) {
		warning("zvaudio_debug\n\tout_ur: %llu \n\tin_or: %llu \n\tring_ur: %llu \n\tring_or: %llu \n",
			(unsigned long long)zva.out_ur.load(), (unsigned long long)zva.in_or.load(),
			(unsigned long long)zva.ring_ur.load(), (unsigned long long)zva.ring_or.load());
	}
	tmr_start(&zva.debug_timer, 10000, zvaudio_debug, nullptr);
}

void zvaudio_set_monorecord(bool on)
{
	zva.monorecord.store(on, std::memory_order_relaxed);
}

void zvaudio_set_monostream(bool on)
{
	zva.monostream.store(on, std::memory_order_relaxed);
}

void zvaudio_set_mute(bool on)
{
	zva.mute.store(on, std::memory_order_relaxed);
}

void zvaudio_set_monitoring(bool on)
{
	zva.monitoring.store(on, std::memory_order_relaxed);
}
