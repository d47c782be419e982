// Cost of one engine period with six callers, the stream call, monitoring
// and both resamplers, without and with the recorder feeding; counts the
// allocations made by the period.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <unistd.h>
#include <vector>

#include "engine.h"
#include "receive.h"
#include "record.h"

extern "C" void *__libc_malloc(size_t);
extern "C" void *__libc_calloc(size_t, size_t);
extern "C" void *__libc_realloc(void *, size_t);

namespace {

thread_local bool counting;
size_t allocations;

}

extern "C" void *malloc(size_t n)
{
	if (counting)
		++allocations;
	return __libc_malloc(n);
}

extern "C" void *calloc(size_t a, size_t b)
{
	if (counting)
		++allocations;
	return __libc_calloc(a, b);
}

extern "C" void *realloc(void *p, size_t n)
{
	if (counting)
		++allocations;
	return __libc_realloc(p, n);
}

namespace {

void caller_play(struct auframe *af, void *arg)
{
	const int16_t v = int16_t(reinterpret_cast<intptr_t>(arg));
	auto *s = static_cast<int16_t *>(af->sampv);
	for (size_t k = 0; k < af->sampc; ++k)
		s[k] = int16_t(v + (k & 63));
}

void receive(struct auframe *, void *)
{
}

// A codec of the benchmark's for the receive path: each 20 ms packet
// decodes to 48 kHz stereo, as Opus does, at next to no cost of its own, so
// that what is measured is the path's.
int16_t tone_frames[1920];

int tone_decode(struct audec_state *, int, void *sampv, size_t *sampc, bool, const uint8_t *, size_t)
{
	std::memcpy(sampv, tone_frames, sizeof(tone_frames));
	*sampc = 1920;
	return 0;
}

struct aucodec tone_codec;
int64_t bench_clock_ns = int64_t(3600) * 1000000000;
uint16_t next_seq;
bool receiving;
// Packets of 20 ms, every other period; the playout's target swung from
// packet to packet far above and below the headroom, so that every packet's
// audio is shortened or lengthened by a pitch period.
bool stretching;

void use_receive_path(bool on)
{
	receiving = on;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local || !t->play)
			continue;
		struct call_receive *r = t->path->receive;
		t->play->audio = on ? reinterpret_cast<struct audio *>(&tone_codec) : nullptr;
		r->decoders[0] = rx_decoder{};
		r->decoders[0].ac = &tone_codec;
		auresamp_init(&r->decoders[0].resampler);
		r->decoder_count = on ? 1 : 0;
	}
}

void feed_packets(int period)
{
	if (!receiving || period % 2)
		return;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local || !t->play)
			continue;
		struct call_receive *r = t->path->receive;
		struct rx_packet p = {};
		p.arrival_ns = bench_clock_ns - 30000000;
		p.generation = t->path->play_generation;
		p.seq = next_seq;
		p.ts = uint32_t(next_seq) * 960u;
		p.len = 4;
		p.payload[0] = uint8_t(t->id);
		r->queue.write(&p, 1);
		if (stretching)
			r->play.min_ms = (period / 2) % 2 ? 0 : 100;
	}
	++next_seq;
}

double cpu_seconds()
{
	struct rusage ru;
	getrusage(RUSAGE_SELF, &ru);
	return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) + 1e-6 * double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

struct result {
	double mean_us, median_us, p99_us, max_us;
	size_t allocations;
	double calls_mean_us, calls_max_us;   // the calls' thread: pull ahead and send
};

result summary(std::vector<double> us, size_t allocations, double calls_mean_us = 0, double calls_max_us = 0)
{
	std::sort(us.begin(), us.end());
	double sum = 0;
	for (double v : us)
		sum += v;
	return {sum / double(us.size()), us[us.size() / 2], us[us.size() * 99 / 100], us.back(), allocations,
		calls_mean_us, calls_max_us};
}

// Every call's follower held at the largest correction, as after a stall.
void correct_all()
{
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->path)
			t->path->follow.target = FOLLOW_MAX_SPEED;
	}
}

result run(double device_rate, int periods, bool correcting = false)
{
	zva.stream.load()->in_rate = device_rate;
	zva.stream.load()->out_rate = device_rate;
	const uint32_t frames = uint32_t(device_rate / 100);
	std::vector<float> in(2 * frames), out(2 * frames);
	std::vector<double> us;
	us.reserve(size_t(periods));
	allocations = 0;
	double calls_sum = 0, calls_max = 0;
	const uint32_t pull = device_rate == 48000 ? frames : 484;
	for (int p = 0; p < periods; ++p) {
		for (uint32_t f = 0; f < frames; ++f)
			in[2 * f] = in[2 * f + 1] = 0.3f * float(std::sin(0.05 * (p * frames + f)));
		if (correcting)
			correct_all();
		feed_packets(p);
		auto c0 = std::chrono::steady_clock::now();
		zvaudio_calls_pull(pull, bench_clock_ns);
		bench_clock_ns += 10000000;
		auto c1 = std::chrono::steady_clock::now();
		counting = true;
		auto t0 = std::chrono::steady_clock::now();
		input_callback(in.data(), nullptr, frames, nullptr, 0, nullptr);
		output_callback(nullptr, out.data(), frames, nullptr, 0, nullptr);
		auto t1 = std::chrono::steady_clock::now();
		counting = false;
		zvaudio_calls_send(0);
		auto c2 = std::chrono::steady_clock::now();
		us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
		const double calls = std::chrono::duration<double, std::micro>((c1 - c0) + (c2 - t1)).count();
		calls_sum += calls;
		calls_max = std::max(calls_max, calls);
	}
	return summary(us, allocations, calls_sum / double(us.size()), calls_max);
}

// The peer of the resampled period: the two converters alone, as the
// period sets them up, on the same amount of audio.
result resamplers_alone(double device_rate, int periods)
{
	int err = 0;
	SRC_STATE *in = src_new(SRC_SINC_FASTEST, 2, &err);
	SRC_STATE *out = src_new(SRC_SINC_FASTEST, 2, &err);
	const uint32_t frames = uint32_t(device_rate / 100);
	std::vector<float> dev(2 * frames), mid(ZV_PERIOD_VALUES), back(ZV_PERIOD_VALUES);
	std::vector<double> us;
	us.reserve(size_t(periods));
	for (int p = 0; p < periods; ++p) {
		for (uint32_t f = 0; f < frames; ++f)
			dev[2 * f] = dev[2 * f + 1] = 0.3f * float(std::sin(0.05 * (p * frames + f)));
		auto t0 = std::chrono::steady_clock::now();
		SRC_DATA a = {};
		a.data_in = dev.data();
		a.data_out = mid.data();
		a.input_frames = long(frames);
		a.output_frames = long(ZV_PERIOD_VALUES / 2);
		a.src_ratio = double(ZV_RATE) / device_rate;
		src_process(in, &a);
		SRC_DATA b = {};
		b.data_in = mid.data();
		b.data_out = back.data();
		b.input_frames = a.output_frames_gen;
		b.output_frames = long(ZV_PERIOD_VALUES / 2);
		b.src_ratio = device_rate / double(ZV_RATE);
		src_process(out, &b);
		auto t1 = std::chrono::steady_clock::now();
		us.push_back(std::chrono::duration<double, std::micro>(t1 - t0).count());
	}
	src_delete(in);
	src_delete(out);
	return summary(us, 0);
}

void report(const char *name, const result &r)
{
	std::printf("%-44s %8.1f us/period  median %6.1f  p99 %7.1f  max %7.1f  %5.2f %% of a core  allocations %zu\n",
		    name, r.mean_us, r.median_us, r.p99_us, r.max_us, r.mean_us / 10000.0 * 100.0, r.allocations);
	if (r.calls_max_us > 0)
		std::printf("%-44s %8.1f us/period  max %7.1f  (calls' thread: pull ahead and send)\n", "",
			    r.calls_mean_us, r.calls_max_us);
}

}

int main(int argc, char **argv)
{
	const int periods = argc > 1 ? std::atoi(argv[1]) : 3000;
	char home[] = "/tmp/zvaudio-bench-XXXXXX";
	if (!mkdtemp(home))
		return 1;
	setenv("HOME", home, 1);
	unsetenv("XDG_CONFIG_HOME");
	libre_init();

	zvaudio_tracks_init();
	zva.mix_buf = static_cast<int16_t *>(mem_zalloc(ZV_PERIOD_VALUES * 2, nullptr));
	zva.silence_buf = static_cast<int16_t *>(mem_zalloc(ZV_PERIOD_VALUES * 2, nullptr));
	zva.stream = zvaudio_stream_state_alloc();
	zva.stream.load()->in_channels = 2;
	zva.stream.load()->out_channels = 2;
	zva.stream.load()->jack = true;
	zva.warmup_periods = ZV_WARMUP_PERIODS;

	// Six callers and the stream call, each with a player and a source.
	auto call = std::make_unique<uint8_t[]>(65536);
	std::memset(call.get(), 0, 65536);
	std::vector<struct auplay_st *> players;
	std::vector<struct ausrc_st *> sources;
	intptr_t n = 0;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local)
			continue;
		t->call = reinterpret_cast<struct call *>(call.get());
		struct auplay_prm pp = {48000, 2, 20, AUFMT_S16LE};
		struct ausrc_prm sp = {48000, 2, 20, AUFMT_S16LE};
		players.push_back(nullptr);
		sources.push_back(nullptr);
		zvaudio_play_alloc(&players.back(), nullptr, &pp, "default", caller_play, reinterpret_cast<void *>(++n * 1000));
		zvaudio_src_alloc(&sources.back(), nullptr, nullptr, &sp, "default", receive, nullptr, nullptr);
	}

	std::printf("engine period, %d periods of 10 ms, 6 callers + stream call, monitoring on\n", periods);
	report("48000 Hz device", run(48000, periods));
	const result resampled = run(44100, periods);
	report("44100 Hz device (both resamplers)", resampled);
	const result converters = resamplers_alone(44100, periods);
	report("  the two SRC_SINC_FASTEST converters alone", converters);
	std::printf("  the period beyond its converters: %.1f us (median), the period %.2f x its converters\n",
		    resampled.median_us - converters.median_us, resampled.median_us / converters.median_us);
	report("48000 Hz device, every caller correcting", run(48000, periods, true));
	tone_codec.name = "tone";
	tone_codec.srate = tone_codec.crate = 48000;
	tone_codec.ch = tone_codec.pch = 2;
	tone_codec.dech = tone_decode;
	for (size_t f = 0; f < 960; ++f)
		tone_frames[2 * f] = tone_frames[2 * f + 1] = int16_t(4000 * std::sin(2 * M_PI * 440 * double(f) / 48000));
	use_receive_path(true);
	const result played_out = run(48000, periods);
	report("48000 Hz device, calls on the receive path", played_out);
	stretching = true;
	const result stretched = run(48000, periods);
	stretching = false;
	report("  every caller's packets stretched", stretched);
	std::printf("  the calls' thread %.1f us a period at rest, %.1f us stretching every packet (+%.1f us)\n",
		    played_out.calls_mean_us, stretched.calls_mean_us, stretched.calls_mean_us - played_out.calls_mean_us);
	use_receive_path(false);

	zvaudio_record_init();
	zvaudio_record_set(true);
	const double cpu0 = cpu_seconds();
	auto wall0 = std::chrono::steady_clock::now();
	result rec{};
	// Real time: one period every 10 ms, so the writers encode as they would.
	const int rt_periods = std::min(periods, 500);
	for (int i = 0; i < rt_periods / 50; ++i) {
		result r = run(48000, 50);
		rec.mean_us += r.mean_us / double(rt_periods / 50);
		rec.median_us += r.median_us / double(rt_periods / 50);
		rec.p99_us = std::max(rec.p99_us, r.p99_us);
		rec.max_us = std::max(rec.max_us, r.max_us);
		rec.allocations += r.allocations;
		usleep(500000 - useconds_t(r.mean_us * 50));
	}
	const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - wall0).count();
	const double cpu = cpu_seconds() - cpu0;
	report("48000 Hz device, recorder feeding", rec);
	std::printf("recording in real time: process CPU %.2f %% of a core over %.1f s (7 writers + periods)\n",
		    100.0 * cpu / wall, wall);
	zvaudio_record_set(false);
	zvaudio_record_close();

	for (auto *p : players)
		mem_deref(p);
	for (auto *s : sources)
		mem_deref(s);
	zva.stream = static_cast<zvaudio_stream_state *>(mem_deref(zva.stream));
	zvaudio_tracks_close();
	libre_close();
	std::system((std::string("rm -rf ") + home).c_str());
	return 0;
}
