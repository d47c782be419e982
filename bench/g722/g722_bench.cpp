/*
 * Speed of the G.722 core at 64 kbit/s as multiples of real time: codes a
 * mixed 16 kHz signal (tones, a sweep and noise) in 20 ms frames, as a
 * call does, and reports the best of several runs for encoder and decoder.
 *
 *   g722_bench [seconds of audio per run, default 60]
 */
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <numbers>
#include <vector>

#include "g722_codec.h"

namespace {

constexpr int srate = 16000;
constexpr size_t frame_samples = 320;
constexpr size_t frame_octets = 160;
constexpr int runs = 5;

std::vector<int16_t> make_signal(size_t count)
{
	std::vector<int16_t> out(count);
	uint32_t noise = 1;
	for (size_t i = 0; i < count; i++) {
		const double t = double(i % (10 * srate)) / srate;
		const double sweep = std::sin(2 * std::numbers::pi * (100 + 350 * t) * t);
		const double tone = std::sin(2 * std::numbers::pi * 440 * t);
		noise = noise * 1664525u + 1013904223u;
		const double v = 9000 * sweep + 6000 * tone +
				 double(int32_t(noise) >> 20);
		out[i] = static_cast<int16_t>(std::lrint(v));
	}
	return out;
}

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point start)
{
	return std::chrono::duration<double>(clock_type::now() - start).count();
}

}  // namespace

int main(int argc, char **argv)
{
	const double audio_seconds = argc > 1 ? std::atof(argv[1]) : 60.0;
	if (!(audio_seconds > 0)) {
		std::fprintf(stderr, "usage: %s [seconds of audio per run]\n", argv[0]);
		return 2;
	}

	const size_t frames = size_t(audio_seconds * srate / frame_samples) + 1;
	const std::vector<int16_t> pcm = make_signal(frames * frame_samples);
	std::vector<uint8_t> coded(frames * frame_octets);
	std::vector<int16_t> decoded(frames * frame_samples);
	const double duration = double(pcm.size()) / srate;

	double best_enc = 1e300;
	double best_dec = 1e300;
	for (int run = 0; run < runs; run++) {
		g722_encode_state enc;
		g722_encode_init(&enc, 64000, 0);
		auto start = clock_type::now();
		for (size_t f = 0; f < frames; f++)
			g722_encode(&enc, coded.data() + f * frame_octets,
				    pcm.data() + f * frame_samples, int(frame_samples));
		best_enc = std::min(best_enc, seconds_since(start));

		g722_decode_state dec;
		g722_decode_init(&dec, 64000, 0);
		start = clock_type::now();
		for (size_t f = 0; f < frames; f++)
			g722_decode(&dec, decoded.data() + f * frame_samples,
				    coded.data() + f * frame_octets, int(frame_octets));
		best_dec = std::min(best_dec, seconds_since(start));
	}

	/* keep the results alive */
	uint32_t check = 0;
	for (size_t i = 0; i < decoded.size(); i += 97)
		check = check * 31 + uint16_t(decoded[i]) + coded[i / 2];

	std::printf("G.722 64 kbit/s, 16 kHz mono, %.1f s of audio in 20 ms frames, best of %d runs\n",
		    duration, runs);
	std::printf("encoder: %8.1f x real time (%.1f us per 20 ms frame)\n",
		    duration / best_enc, best_enc / double(frames) * 1e6);
	std::printf("decoder: %8.1f x real time (%.1f us per 20 ms frame)\n",
		    duration / best_dec, best_dec / double(frames) * 1e6);
	std::printf("(checksum %08x)\n", check);

	return 0;
}
