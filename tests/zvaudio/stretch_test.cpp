// Shortening and lengthening audio by pitch periods: the length changes by
// the lag, the waveform never jumps, a tone keeps its pitch.
#include <gtest/gtest.h>

#include <cmath>
#include <random>
#include <vector>

#include "time_stretch.h"

namespace {

constexpr double RATE = 48000;

std::vector<int16_t> tone(size_t frames, double freq, double level, size_t room = 0)
{
	std::vector<int16_t> v(2 * (frames + room));
	for (size_t f = 0; f < frames; ++f)
		v[2 * f] = v[2 * f + 1] = int16_t(std::lrint(level * std::sin(2 * M_PI * freq * double(f) / RATE)));
	return v;
}

// The largest second difference of the left channel over the frames.
double roughness(const std::vector<int16_t> &v, size_t frames)
{
	double worst = 0;
	for (size_t f = 1; f + 1 < frames; ++f)
		worst = std::max(worst, std::fabs(double(v[2 * f + 2]) - 2.0 * v[2 * f] + v[2 * f - 2]));
	return worst;
}

// The largest difference of the left channel from the tone's own.
double off_tone(const std::vector<int16_t> &v, size_t frames, double freq, double level)
{
	const auto want = tone(frames, freq, level);
	double worst = 0;
	for (size_t f = 0; f < frames; ++f)
		worst = std::max(worst, std::fabs(double(v[2 * f]) - want[2 * f]));
	return worst;
}

// Frames of v, a period of the lag found taken out or said twice.
size_t stretched(std::vector<int16_t> &v, size_t frames, bool shorten)
{
	const size_t lag = stretch_pitch(v.data(), frames, STRETCH_MIN_LAG, STRETCH_MAX_LAG);
	if (shorten) {
		stretch_shorten(v.data(), frames, lag);
		return frames - lag;
	}
	stretch_lengthen(v.data(), frames, lag);
	return frames + lag;
}

}

TEST(time_stretch, the_lag_of_a_tone_is_a_whole_number_of_its_periods)
{
	for (double freq : {440.0, 150.0, 333.0}) {
		SCOPED_TRACE(freq);
		const auto v = tone(960, freq, 10000);
		const size_t lag = stretch_pitch(v.data(), 960, STRETCH_MIN_LAG, STRETCH_MAX_LAG);
		const double periods = double(lag) * freq / RATE;
		EXPECT_NEAR(periods, std::round(periods), 0.02) << lag;
		EXPECT_GE(lag, STRETCH_MIN_LAG);
		EXPECT_LE(lag, STRETCH_MAX_LAG);
	}
	// Near silence takes the longest lag allowed.
	const auto quiet = tone(960, 440, 10);
	EXPECT_EQ(300u, stretch_pitch(quiet.data(), 960, STRETCH_MIN_LAG, 300));
}

TEST(time_stretch, a_tone_shortened_or_lengthened_stays_smooth_at_its_pitch)
{
	const double freq = 440, level = 10000;
	// A sine's second difference stays below level (2 pi f / rate)^2; a
	// jump of a frame or a gap shows far above.
	const double bound = level * std::pow(2 * M_PI * freq / RATE, 2) + 4;
	for (bool shorten : {true, false}) {
		SCOPED_TRACE(shorten);
		auto v = tone(960, freq, level, STRETCH_MAX_LAG);
		const size_t frames = stretched(v, 960, shorten);
		EXPECT_LT(roughness(v, frames), bound);
		// Whole periods went or came: the tone goes on as it was, in pitch
		// and in phase, to within a fraction of a frame's shift; and it
		// begins where the audio before it ended.
		EXPECT_LT(off_tone(v, frames, freq, level), 0.03 * level);
		EXPECT_EQ(0, v[0]);
	}
}

TEST(time_stretch, noise_is_joined_without_a_step)
{
	std::mt19937 rng(7);
	std::normal_distribution<double> white(0, 3000);
	// Noise low-passed as a room's is: its steps between frames stay small.
	std::vector<int16_t> v(2 * (1920 + STRETCH_MAX_LAG));
	double y = 0;
	for (size_t f = 0; f < 1920; ++f) {
		y += 0.05 * (white(rng) - y);
		v[2 * f] = v[2 * f + 1] = int16_t(std::lrint(y * 4));
	}
	double step = 0;
	for (size_t f = 1; f < 1920; ++f)
		step = std::max(step, std::fabs(double(v[2 * f]) - v[2 * f - 2]));

	for (bool shorten : {true, false}) {
		SCOPED_TRACE(shorten);
		auto w = v;
		const size_t frames = stretched(w, 1920, shorten);
		double worst = 0;
		for (size_t f = 1; f < frames; ++f)
			worst = std::max(worst, std::fabs(double(w[2 * f]) - w[2 * f - 2]));
		EXPECT_LE(worst, step * 1.5);
	}
}
