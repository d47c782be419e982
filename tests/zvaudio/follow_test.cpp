// The clock follower on synthetic audio. Its control, with the receive
// playout it serves, is tested in receive_test.cpp.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <vector>

#include "clock_follow.h"

namespace {

constexpr double RATE = 48000;

// A source of stereo frames: a sine on both channels, optionally in bursts
// (on for on_frames, then silent for off_frames).
struct tone {
	double freq = 440, level = 10000;
	size_t on_frames = 0, off_frames = 0;
	size_t next = 0;

	int16_t at(size_t n) const
	{
		if (on_frames && n % (on_frames + off_frames) >= on_frames)
			return 0;
		return int16_t(std::lrint(level * std::sin(2 * M_PI * freq * double(n) / RATE)));
	}
	void fill(int16_t *v, size_t frames)
	{
		for (size_t f = 0; f < frames; ++f, ++next)
			v[2 * f] = v[2 * f + 1] = at(next);
	}
};

struct follower_rig {
	std::vector<int16_t> storage;
	std::vector<float> channels;
	clock_follower f{};

	explicit follower_rig(size_t max_frames = 9600)
		: storage(2 * follow_storage_frames(max_frames)), channels(storage.size())
	{
		follow_init(&f, storage.data(), channels.data(), storage.size() / 2);
	}
	// One period of out frames from src.
	void period(tone &src, std::vector<int16_t> &out, size_t frames)
	{
		size_t need = follow_input_needed(&f, frames);
		if (need) {
			int16_t *in = follow_input(&f, need);
			EXPECT_TRUE(in);
			src.fill(in, need);
			follow_input_done(&f, need);
		}
		std::vector<int16_t> block(2 * frames);
		follow_produce(&f, block.data(), frames);
		out.insert(out.end(), block.begin(), block.end());
	}
};

// The largest second difference of one channel: a sine of this level and
// frequency keeps it below level * (2 pi f / rate)^2; a jump or a gap of a
// few frames shows far above.
double roughness(const std::vector<int16_t> &v, size_t from_frame = 1)
{
	double worst = 0;
	for (size_t f = std::max<size_t>(from_frame, 1); f + 1 < v.size() / 2; ++f)
		worst = std::max(worst, std::fabs(double(v[2 * f + 2]) - 2.0 * v[2 * f] + v[2 * f - 2]));
	return worst;
}

}

TEST(clock_follower, at_rest_every_frame_is_the_input)
{
	for (size_t frames : {480u, 441u, 4800u, 1u}) {
		SCOPED_TRACE(frames);
		follower_rig rig;
		tone src;
		src.level = 32767;
		std::vector<int16_t> out;
		for (int p = 0; p < 20; ++p)
			rig.period(src, out, frames);
		std::vector<int16_t> want(out.size());
		tone again;
		again.level = 32767;
		again.fill(want.data(), want.size() / 2);
		EXPECT_EQ(want, out);
		EXPECT_TRUE(follow_at_rest(&rig.f));
		EXPECT_EQ(FOLLOW_HALF + 1, follow_ahead(&rig.f));
	}
}

// A pure tone through a correction at the largest speed and back: the
// output stays a clean sine of the input's frequency (no jump, no gap, at
// most a small interpolation error), consumes the expected extra input, and
// returns to rest on an input frame.
TEST(clock_follower, a_correction_is_smooth_and_returns_to_rest)
{
	for (double speed : {FOLLOW_MAX_SPEED, -FOLLOW_MAX_SPEED}) {
		SCOPED_TRACE(speed);
		follower_rig rig;
		tone src;
		src.freq = 1000;
		std::vector<int16_t> out;
		for (int p = 0; p < 10; ++p)
			rig.period(src, out, 480);
		rig.f.target = speed;
		for (int p = 0; p < 300; ++p)
			rig.period(src, out, 480);
		rig.f.target = 0;
		for (int p = 0; p < 300 && !follow_at_rest(&rig.f); ++p)
			rig.period(src, out, 480);
		ASSERT_TRUE(follow_at_rest(&rig.f));

		// No jump and no gap: the second difference stays that of a sine,
		// give or take the rounding of the interpolated values.
		const double bound = src.level * std::pow(2 * M_PI * src.freq / RATE, 2);
		EXPECT_LT(roughness(out), bound + 4.0);

		// The extra input consumed: the time at the speed, including half
		// of each ramp, to within a period's rounding.
		const double consumed = double(src.next - follow_ahead(&rig.f)) - double(out.size() / 2);
		EXPECT_NEAR(480 * speed * 300, consumed, 480 * std::fabs(speed) * 2 + 2);

		// At rest again, the output continues as exact input frames.
		std::vector<int16_t> tail;
		tone again;
		again.freq = 1000;
		again.next = src.next - follow_ahead(&rig.f);
		rig.period(src, tail, 480);
		std::vector<int16_t> want(tail.size());
		again.fill(want.data(), 480);
		EXPECT_EQ(want, tail);
	}
}
