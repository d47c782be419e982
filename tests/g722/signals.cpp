#include "signals.h"

#include <cmath>
#include <numbers>

namespace {

/* Small, portable generator so every run sees the same signals */
struct lcg {
	uint32_t state;

	uint32_t next()
	{
		state = state * 1664525u + 1013904223u;
		return state;
	}
};

int16_t clip(double v)
{
	if (v > 32767.0)
		return 32767;
	if (v < -32768.0)
		return -32768;
	return static_cast<int16_t>(std::lrint(v));
}

}  // namespace

std::vector<test_signal> test_signals(int srate)
{
	const int n = srate;
	const double pi = std::numbers::pi;
	std::vector<test_signal> out;

	test_signal tones{"tones", {}};
	for (int i = 0; i < n; i++) {
		const double t = double(i) / srate;
		tones.samples.push_back(clip(12000.0 * std::sin(2 * pi * 1000 * t) +
					     8000.0 * std::sin(2 * pi * (srate / 3.2) * t)));
	}
	out.push_back(tones);

	test_signal sweep{"sweep", {}};
	const double f0 = 50.0;
	const double f1 = srate / 2.0 - 100.0;
	for (int i = 0; i < n; i++) {
		const double t = double(i) / srate;
		const double phase = 2 * pi * (f0 * t + (f1 - f0) * t * t / 2.0);
		sweep.samples.push_back(clip(30000.0 * std::sin(phase)));
	}
	out.push_back(sweep);

	test_signal noise{"noise", {}};
	lcg rng{12345};
	for (int i = 0; i < n; i++)
		noise.samples.push_back(static_cast<int16_t>(rng.next() >> 16));
	out.push_back(noise);

	test_signal quiet{"low_level_noise", {}};
	for (int i = 0; i < n; i++)
		quiet.samples.push_back(static_cast<int16_t>(int(rng.next() >> 29) - 4));
	out.push_back(quiet);

	out.push_back({"silence", std::vector<int16_t>(n, 0)});

	test_signal square{"full_scale_square", {}};
	const int half_period = srate / 800;
	for (int i = 0; i < n; i++)
		square.samples.push_back((i / half_period) % 2 ? INT16_MIN : INT16_MAX);
	out.push_back(square);

	return out;
}

std::vector<int16_t> joined_signals(int srate)
{
	std::vector<int16_t> all;
	for (const test_signal &sig : test_signals(srate))
		all.insert(all.end(), sig.samples.begin(), sig.samples.end());
	return all;
}

std::vector<uint8_t> random_octets(size_t count, uint32_t seed)
{
	lcg rng{seed};
	std::vector<uint8_t> out(count);
	for (uint8_t &o : out)
		o = static_cast<uint8_t>(rng.next() >> 24);
	return out;
}
