// The clock follower and its control, on synthetic audio and a model of
// the SIP library's receive buffer.
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
	// One period of out frames from src; returns the frames dropped.
	size_t period(tone &src, std::vector<int16_t> &out, size_t frames, size_t drop = 0)
	{
		size_t need = follow_input_needed(&f, frames, drop);
		if (need) {
			int16_t *in = follow_input(&f, need);
			EXPECT_TRUE(in);
			src.fill(in, need);
			follow_input_done(&f, need);
		}
		std::vector<int16_t> block(2 * frames);
		size_t dropped = follow_produce(&f, block.data(), frames, drop);
		out.insert(out.end(), block.begin(), block.end());
		return dropped;
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

TEST(clock_follower, drops_only_near_silence_and_crossfades)
{
	follower_rig rig;
	tone loud;
	std::vector<int16_t> out;
	// Loud audio is never dropped; the frames read for the drop stay ahead.
	EXPECT_EQ(0u, rig.period(loud, out, 480, 480));
	EXPECT_GT(follow_ahead(&rig.f), 480u);
	EXPECT_TRUE(follow_at_rest(&rig.f));

	// Near silence is.
	follower_rig quiet_rig;
	tone hum;
	hum.level = FOLLOW_QUIET;
	hum.freq = 50;
	std::vector<int16_t> q;
	EXPECT_EQ(0u, quiet_rig.period(hum, q, 480));
	EXPECT_EQ(240u, quiet_rig.period(hum, q, 480, 240));
	// The crossfade leaves no jump: the hum stays within its own slope.
	EXPECT_LT(roughness(q), 4.0);
	EXPECT_EQ(960u + 240u, hum.next - follow_ahead(&quiet_rig.f));
}

namespace {

// The SIP library's receive path as the follower sees it: the far end's
// 20 ms packets wait in the jitter buffer; every read of the player takes
// what the follower asks for from the receive buffer (silence while that
// refills to its minimum after running dry), then decodes a packet, and
// more while the buffer holds less than the read. The jitter buffer gives
// nothing before it has held two packets; it keeps at most 15, the receive
// buffer at most 160 ms.
struct far_end_model {
	double ppm = 0;               // the far clock's deviation from ours
	double packets_sent = 0;
	unsigned jitter_packets = 0;
	bool jitter_started = false;
	double level = 0;             // frames in the receive buffer
	bool filling = true;
	bool started = false;         // has played once, as the library's flag says
	unsigned underruns = 0;

	void deliver(double t, double stall_from, double stall_to)
	{
		if (t >= stall_from && t < stall_to)
			return;
		const double due = std::floor(t * RATE * (1 + ppm * 1e-6) / 960);
		for (; packets_sent < due; ++packets_sent)
			jitter_packets = std::min(15u, jitter_packets + 1);
	}
	void decode()
	{
		--jitter_packets;
		level = std::min(7680.0, level + 960);
	}
	void read(size_t frames)
	{
		if (filling && level < 960) {
			// still filling: silence, nothing taken
		}
		else if (level < double(frames)) {
			++underruns;
			filling = true;
			level = 0;
		}
		else {
			filling = false;
			started = true;
			level -= double(frames);
		}
		jitter_started = jitter_started || jitter_packets >= 2;
		if (!jitter_started)
			return;
		if (jitter_packets)
			decode();
		while (level < double(frames) && jitter_packets)
			decode();
	}
};

struct control_run {
	std::vector<double> levels_ms; // after each pull
	unsigned drops = 0;
	double max_speed = 0, max_step = 0; // max_step: the change of speed from one period to the next
};

// Runs the follower and its control against the model for the given time;
// the audio content only decides where drops may happen.
control_run run_control(far_end_model &far, tone &src, double seconds, double stall_at = -10)
{
	follower_rig rig;
	follow_control c;
	follow_control_init(&c, 960, 1440);
	control_run r;
	size_t drop = 0;
	double last_speed = 0;
	for (size_t p = 0; double(p) * 0.01 < seconds; ++p) {
		const double t = double(p) * 0.01;
		far.deliver(t, stall_at, stall_at + 2);
		size_t need = follow_input_needed(&rig.f, 480, drop);
		if (need) {
			far.read(need);
			int16_t *in = follow_input(&rig.f, need);
			src.fill(in, need);
			follow_input_done(&rig.f, need);
		}
		std::vector<int16_t> out(960);
		const size_t dropped = follow_produce(&rig.f, out.data(), 480, drop);
		if (dropped) {
			++r.drops;
			follow_control_dropped(&c, dropped);
		}
		r.max_step = std::max(r.max_step, std::fabs(rig.f.speed - last_speed));
		last_speed = rig.f.speed;
		r.max_speed = std::max(r.max_speed, std::fabs(rig.f.speed));
		const double level = far.level + double(follow_ahead(&rig.f));
		r.levels_ms.push_back(level / 48);
		drop = far.started ? follow_control_update(&c, &rig.f, level, 480) : 0;
	}
	return r;
}

double max_after(const std::vector<double> &v, double t)
{
	return *std::max_element(v.begin() + ptrdiff_t(t * 100), v.end());
}

double min_after(const std::vector<double> &v, double t)
{
	return *std::min_element(v.begin() + ptrdiff_t(t * 100), v.end());
}

}

// A 2 s stall with a burst after it fills the buffer to its top; the level
// is back in its band within 10 s, mostly by drops in the pauses.
TEST(follow_control, a_stall_drains_back_to_the_band)
{
	far_end_model far;
	tone speech;
	speech.on_frames = 9600;
	speech.off_frames = 14400;
	// After the stall the far end catches up: it sends the 2 s at once.
	control_run r = run_control(far, speech, 30, 5);
	EXPECT_GT(max_after(r.levels_ms, 7), 140);
	EXPECT_LE(max_after(r.levels_ms, 17), 55);
	EXPECT_GE(min_after(r.levels_ms, 17), 18);
	EXPECT_GT(r.drops, 0u);
	EXPECT_LE(r.max_speed, FOLLOW_MAX_SPEED + 1e-12);
	EXPECT_LE(r.max_step, 2 * FOLLOW_SPEED_STEP);
}

// A far clock off either way: the level stays near its band with no
// underrun and no drop, by gentle corrections.
TEST(follow_control, clock_drift_is_followed_without_drops)
{
	for (double ppm : {200.0, -200.0, 1000.0, -1000.0, 0.0}) {
		SCOPED_TRACE(ppm);
		far_end_model far;
		far.ppm = ppm;
		tone music;
		control_run r = run_control(far, music, 300);
		EXPECT_EQ(0u, far.underruns);
		EXPECT_EQ(0u, r.drops);
		EXPECT_LE(max_after(r.levels_ms, 5), 55);
		EXPECT_GE(min_after(r.levels_ms, 5), 15);
		EXPECT_LE(r.max_speed, FOLLOW_MAX_SPEED);
		EXPECT_LE(r.max_step, 2 * FOLLOW_SPEED_STEP);
	}
}
