// The engine period driven with synthetic buffers.
#include "engine_fixture.h"

#include <cmath>

namespace {

constexpr float s(int v)
{
	return float(v) / 32768.0f;
}

std::vector<int16_t> pairs_of(size_t frames, int16_t l, int16_t r)
{
	std::vector<int16_t> v(2 * frames);
	for (size_t f = 0; f < frames; ++f) {
		v[2 * f] = l;
		v[2 * f + 1] = r;
	}
	return v;
}

}

class period_test : public engine_test {};

TEST_F(period_test, warmup_drops_sixteen_periods_after_a_start)
{
	bind(1);
	peers[1].left = peers[1].right = 100;
	zva.warmup_periods = 0;
	for (int i = 0; i < 16; ++i)
		period(stereo(480, s(5), s(5)), 2);
	EXPECT_EQ(0.0f, meters_take().slot[0][0]);
	EXPECT_EQ(0u, peers[1].plays);
	EXPECT_TRUE(peers[1].sent.empty());
	EXPECT_EQ(0u, zva.stream.load()->ring.read_available());
	EXPECT_EQ(0u, zva.total_frames);

	period(stereo(480, s(5), s(5)), 2);
	EXPECT_FLOAT_EQ(s(5), meters_take().slot[0][0]);
	EXPECT_EQ(1u, peers[1].plays);
	EXPECT_EQ(pairs_of(480, 5, 5), peers[1].sent);
	EXPECT_EQ(480u, zva.stream.load()->ring.read_available());
	EXPECT_EQ(480u, zva.total_frames);
}

TEST_F(period_test, period_size_limits)
{
	period(stereo(0, 0, 0), 2);
	EXPECT_EQ(0u, zva.total_frames);

	period(stereo(4801, s(1), s(1)), 2);
	EXPECT_EQ(0.0f, meters_take().slot[0][0]);
	EXPECT_EQ(0u, zva.total_frames);
	EXPECT_EQ(0u, zva.in_or.load());

	bind(1);
	period(stereo(4800, s(1), s(1)), 2);
	EXPECT_EQ(4800u, zva.total_frames);
	EXPECT_EQ(9600u, peers[1].sent.size());
}

TEST_F(period_test, no_input_buffer_is_counted_and_callers_still_hear_each_other)
{
	bind(1);
	bind(2);
	peers[1].left = peers[1].right = 300;
	peers[2].left = peers[2].right = 700;
	period(nullptr, 480);
	EXPECT_EQ(1u, zva.in_or.load());
	EXPECT_TRUE(zva.debug_dirty.load());
	EXPECT_EQ(0.0f, meters_take().slot[0][0]);
	EXPECT_EQ(pairs_of(480, 700, 700), peers[1].sent);
	EXPECT_EQ(pairs_of(480, 300, 300), peers[2].sent);
}

TEST_F(period_test, input_overflow_flag_is_counted)
{
	std::vector<float> in = stereo(480, 0, 0);
	period(in.data(), 480, paInputOverflow);
	EXPECT_EQ(1u, zva.in_or.load());
}

// Channel pick, mono record and mute, seen by the only caller, which
// receives exactly the local signal.
TEST_F(period_test, channel_pick)
{
	struct pick_case {
		int channels;
		int first;
		bool monorecord;
		bool mute;
		std::vector<int> frame;      // one device frame, in values of 1/32768
		int16_t left, right;         // what the caller receives
	};
	const pick_case cases[] = {
		{2, 0, false, false, {100, 200}, 100, 200},
		{2, 0, true, false, {100, 200}, 100, 100},
		{4, 99, false, false, {1, 20, 300, 4000}, 4321, 4321},
		{3, 2, false, false, {1, 2, 3}, 3, 0},
		{3, 2, true, false, {1, 2, 3}, 3, 3},
		{4, 1, false, false, {1, 2, 3, 4}, 2, 3},
		{2, 5, false, false, {1, 2}, 0, 0},
		{2, -1, false, false, {1, 2}, 0, 1},
		{2, 0, false, true, {100, 200}, 0, 0},
		{1, 0, false, false, {77}, 77, 0},
	};
	bind(1);
	for (const pick_case &c : cases) {
		SCOPED_TRACE(testing::Message() << c.channels << " channels, first " << c.first);
		configure(c.channels, 48000, 2, 48000);
		zva.first_input_channel = c.first;
		zva.monorecord = c.monorecord;
		zva.mute = c.mute;
		fakes.reset();
		std::vector<float> in;
		for (int f = 0; f < 480; ++f)
			for (int v : c.frame)
				in.push_back(s(v));
		period(in, c.channels);
		EXPECT_EQ(pairs_of(480, c.left, c.right), peers[1].sent);
		EXPECT_FLOAT_EQ(std::abs(c.left) / 32768.0f, meters_take().slot[0][0]);
	}
}

TEST_F(period_test, mute_silences_the_local_signal_but_not_the_callers)
{
	bind(1);
	bind(2);
	peers[1].left = peers[1].right = 11;
	peers[2].left = peers[2].right = 22;
	zva.mute = true;
	period(stereo(480, s(1000), s(1000)), 2);
	EXPECT_EQ(0.0f, meters_take().slot[0][0]);
	EXPECT_EQ(pairs_of(480, 22, 22), peers[1].sent);
	EXPECT_EQ(pairs_of(480, 11, 11), peers[2].sent);
}

TEST_F(period_test, mono_stream_downmix_reaches_monitor_and_calls)
{
	bind(1);
	zva.monostream = true;
	zva.monorecord = false;
	period(stereo(480, s(3), s(0)), 2);
	EXPECT_EQ(pairs_of(480, 1, 1), peers[1].sent);
	std::vector<float> out = play_output(480);
	EXPECT_FLOAT_EQ(s(1), out[0]);
	EXPECT_FLOAT_EQ(s(1), out[1]);

	period(stereo(480, s(-3), s(0)), 2);
	EXPECT_EQ(pairs_of(480, -1, -1), peers[1].sent);

	// Mono record set: no downmix.
	zva.monorecord = true;
	period(stereo(480, s(3), s(9)), 2);
	EXPECT_EQ(pairs_of(480, 3, 3), peers[1].sent);
}

// With n callers (and the stream call), every one receives the local
// signal and the others, never itself.
TEST_F(period_test, mix_minus_for_one_to_six_callers_and_the_stream)
{
	for (int n = 1; n <= 7; ++n) {
		SCOPED_TRACE(testing::Message() << n << " calls");
		std::vector<int> on;
		for (int i = 1; i <= n; ++i)
			on.push_back(i == 7 ? 7 : i);
		for (int i : on) {
			bind(i);
			peers[i].left = int16_t(1 << i);
			peers[i].right = int16_t(-(1 << i));
		}
		period(stereo(480, s(1), s(-1)), 2);
		int sum = 0;
		for (int i : on)
			sum += 1 << i;
		for (int i : on) {
			const int16_t others = int16_t(sum - (1 << i));
			EXPECT_EQ(pairs_of(480, int16_t(1 + others), int16_t(-1 - others)), peers[i].sent) << "track " << i;
		}
		std::vector<float> out = play_output(480);
		EXPECT_FLOAT_EQ(s(1 + sum), out[0]);
		EXPECT_FLOAT_EQ(s(-1 - sum), out[1]);
		for (int i : on)
			unbind(i);
	}
}

TEST_F(period_test, remote_meters_and_no_meter_for_the_stream)
{
	bind(1);
	bind(7);
	peers[1].left = 32767;
	peers[1].right = -16384;
	peers[7].left = peers[7].right = 1000;
	period(stereo(480, 0, 0), 2);
	const meter_peaks m = meters_take();
	EXPECT_EQ(1.0f, m.slot[1][0]);
	EXPECT_FLOAT_EQ(16384.0f / 32767.0f, m.slot[1][1]);
	EXPECT_EQ(0.0f, m.slot[13][0]);
	EXPECT_EQ(0.0f, m.slot[13][1]);
}

// The input meter reads the device's frames, every one of them, before
// any resampling.
TEST_F(period_test, input_meter_reads_every_device_frame)
{
	configure(2, 44100, 2, 48000);
	std::vector<float> in = stereo(441, 0, 0);
	in[2 * 440] = -0.75f;
	in[2 * 440 + 1] = 0.25f;
	period(in, 2);
	const meter_peaks m = meters_take();
	EXPECT_EQ(0.75f, m.slot[0][0]);
	EXPECT_EQ(0.25f, m.slot[0][1]);
}

TEST(meter, peaks_rise_and_start_again)
{
	(void)meters_take();
	const float frames[] = {0.1f, -0.8f, -0.3f, 0.2f};
	zvaudio_meter_update(3, frames, 2);
	zvaudio_meter_update(32, frames, 2);
	zvaudio_meter_update(4, nullptr, 2);
	zvaudio_meter_update(5, frames, 0);
	meter_peaks m = meters_take();
	EXPECT_FLOAT_EQ(m.slot[3][0], 0.3f);
	EXPECT_FLOAT_EQ(m.slot[3][1], 0.8f);
	for (unsigned slot = 0; slot < ZVAUDIO_METER_SLOTS; ++slot) {
		if (slot != 3) {
			EXPECT_EQ(m.slot[slot][0], 0.0f) << slot;
			EXPECT_EQ(m.slot[slot][1], 0.0f) << slot;
		}
	}

	m = meters_take();
	EXPECT_EQ(m.slot[3][0], 0.0f);
	EXPECT_EQ(m.slot[3][1], 0.0f);
}

TEST_F(period_test, monitor_with_monitoring_on_and_off)
{
	zva.monitoring = false;
	period(stereo(480, s(500), s(500)), 2);
	std::vector<float> out = play_output(480);
	EXPECT_EQ(0.0f, out[0]);

	zva.monitoring = true;
	period(stereo(480, s(500), s(-500)), 2);
	out = play_output(480);
	EXPECT_FLOAT_EQ(s(500), out[0]);
	EXPECT_FLOAT_EQ(s(-500), out[1]);

	// Callers reach the monitor whatever the flag says.
	zva.monitoring = false;
	bind(1, false);
	peers[1].left = peers[1].right = 40;
	period(stereo(480, s(500), s(500)), 2);
	out = play_output(480);
	EXPECT_FLOAT_EQ(s(40), out[0]);
}

TEST_F(period_test, every_mix_saturates_to_32767_and_never_reaches_minus_32768)
{
	bind(1);
	peers[1].left = 30000;
	peers[1].right = -30000;
	// One caller alone gets exactly the local signal, -32768 arriving as -32767.
	period(stereo(480, s(32767), -1.0f), 2);
	EXPECT_EQ(pairs_of(480, 32767, -32767), peers[1].sent);

	bind(2);
	peers[2].left = 30000;
	peers[2].right = -30000;
	period(stereo(480, s(3000), s(-3000)), 2);
	EXPECT_EQ(pairs_of(480, 32767, -32767), peers[1].sent);
	EXPECT_EQ(pairs_of(480, 32767, -32767), peers[2].sent);
	std::vector<float> out = play_output(480);
	EXPECT_FLOAT_EQ(s(32767), out[0]);
	EXPECT_FLOAT_EQ(s(-32767), out[1]);

	// Each single addition saturates: a fourth caller hears
	// sat(30000 + 30000) - 30000.
	bind(3);
	peers[3].left = -30000;
	peers[3].right = 30000;
	bind(4);
	period(stereo(480, 0, 0), 2);
	EXPECT_EQ(pairs_of(480, 0, 0), peers[1].sent);
	EXPECT_EQ(pairs_of(480, 32767, -32767), peers[3].sent);
	EXPECT_EQ(pairs_of(480, 2767, -2767), peers[4].sent);
}

TEST_F(period_test, frame_timestamps_step_by_ten_milliseconds)
{
	bind(1);
	for (int i = 0; i < 3; ++i)
		period(stereo(480, 0, 0), 2);
	// A device restart starts a new warm-up; the timestamps go on.
	zva.warmup_periods = 0;
	for (int i = 0; i < 17; ++i)
		period(stereo(480, 0, 0), 2);
	EXPECT_EQ((std::vector<uint64_t>{0, 10000, 20000, 30000}), peers[1].timestamps);
}

TEST_F(period_test, a_source_without_player_gets_nothing_and_a_player_without_source_is_heard)
{
	bind(3);
	bind(2, false);
	peers[2].left = peers[2].right = 9;
	// Track 1 with a source only.
	track_at(1)->call = reinterpret_cast<struct call *>(calls[2].get());
	struct ausrc_prm prm = {48000, 2, 20, AUFMT_S16LE};
	ASSERT_EQ(0, zvaudio_src_alloc(&sources[1], nullptr, nullptr, &prm, "default",
				       [](struct auframe *, void *arg) { static_cast<fake_peer *>(arg)->plays += 100; },
				       nullptr, &peers[1]));
	period(stereo(480, 0, 0), 2);
	EXPECT_EQ(0u, peers[1].plays);
	EXPECT_EQ(pairs_of(480, 9, 9), peers[3].sent);
}

TEST_F(period_test, input_at_44100_hz_is_resampled_to_48000)
{
	configure(2, 44100, 2, 48000);
	bind(1);
	size_t sent_values = 0, queued = 0;
	for (int i = 0; i < 100; ++i) {
		std::vector<float> in(2 * 441);
		for (int f = 0; f < 441; ++f)
			in[2 * f] = in[2 * f + 1] = 0.5f * std::sin(2 * M_PI * 1000 * (i * 441 + f) / 44100.0);
		period(in, 2);
		sent_values += peers[1].sent.size();
		queued += zva.stream.load()->ring.read_available();
		play_output(zva.stream.load()->ring.read_available());
	}
	// One second of device time is close to one second at 48 kHz; the
	// frame count of every destination is what the resampler made.
	EXPECT_EQ(sent_values / 2, zva.total_frames);
	EXPECT_NEAR(48000.0, double(zva.total_frames), 600.0);
	EXPECT_EQ(zva.total_frames, queued);
	// The 1 kHz tone survives: about 2 zero crossings per ms.
	int crossings = 0;
	for (size_t k = 2; k < peers[1].sent.size(); k += 2)
		crossings += (peers[1].sent[k - 2] < 0) != (peers[1].sent[k] < 0);
	EXPECT_NEAR(20, crossings, 2);
}

TEST_F(period_test, output_at_44100_hz_and_a_mono_output_device)
{
	configure(2, 48000, 1, 44100);
	for (int i = 0; i < 20; ++i)
		period(stereo(480, s(1000), s(-2000)), 2);
	const size_t queued = zva.stream.load()->ring.read_available();
	EXPECT_NEAR(20 * 441.0, double(queued), 200.0);
	// Drain what the filter's start-up left, then a mono device plays the left channel.
	play_output(queued - 441);
	std::vector<float> out = play_output(441);
	ASSERT_EQ(441u, out.size());
	EXPECT_NEAR(s(1000), out[440], 1e-4);
}

TEST_F(period_test, ring_overflow_and_underflow_are_counted)
{
	// Before the first full read a short ring plays silence without a count.
	std::vector<float> out = play_output(480);
	EXPECT_EQ(0.0f, out[0]);
	EXPECT_EQ(0u, zva.ring_ur.load());

	period(stereo(480, s(1), s(1)), 2);
	play_output(480);
	out = play_output(480);
	EXPECT_EQ(1u, zva.ring_ur.load());
	EXPECT_EQ(0.0f, out[0]);

	// 16384 frames fit; the 35th period of 480 frames does not.
	for (int i = 0; i < 34; ++i)
		period(stereo(480, s(1), s(1)), 2);
	EXPECT_EQ(0u, zva.ring_or.load());
	period(stereo(480, s(1), s(1)), 2);
	EXPECT_EQ(1u, zva.ring_or.load());
	EXPECT_EQ(16384u, zva.stream.load()->ring.read_available());

	std::vector<float> o2(960);
	output_callback(nullptr, o2.data(), 480, nullptr, paOutputUnderflow, nullptr);
	EXPECT_EQ(1u, zva.out_ur.load());
}

// Separate input and output devices whose clocks run 100 ppm apart either
// way: the ring stays near its floor (without following, five minutes
// would move it by 30 ms), the output never runs short once playing, and the
// monitored tone goes through without a jump.
TEST_F(period_test, the_ring_follows_an_output_clock_of_its_own)
{
	for (double ppm : {100.0, -100.0}) {
		SCOPED_TRACE(ppm);
		zva.stream = static_cast<zvaudio_stream_state *>(mem_deref(zva.stream));
		zva.stream = zvaudio_stream_state_alloc();
		ASSERT_TRUE(zva.stream);
		configure(2, 48000, 2, 48000);
		zva.ring_ur = zva.ring_or = 0;

		const double out_period = 0.01 / (1 + ppm * 1e-6);
		double t_in = 0, t_out = 0.005;
		size_t n = 0, most = 0, ur_after_start = 0, heard = 0;
		float last[3] = {};
		double worst = 0;
		std::vector<float> in(960);
		while (t_in < 300) {
			if (t_in <= t_out) {
				for (int f = 0; f < 480; ++f, ++n)
					in[2 * f] = in[2 * f + 1] = 0.3f * float(std::sin(2 * M_PI * 500 * double(n) / 48000));
				period(in, 2);
				t_in += 0.01;
				continue;
			}
			const bool settled = t_out > 5;
			if (settled)
				most = std::max(most, zva.stream.load()->ring.read_available());
			const uint64_t ur = zva.ring_ur.load();
			std::vector<float> out = play_output(480);
			if (settled)
				ur_after_start += zva.ring_ur.load() - ur;
			for (int f = 0; f < 480 && settled; ++f, ++heard) {
				last[0] = last[1];
				last[1] = last[2];
				last[2] = out[2 * f];
				if (heard >= 2)
					worst = std::max(worst, double(std::fabs(last[2] - 2 * last[1] + last[0])));
			}
			t_out += out_period;
		}
		// At most a read, the top of the band and one period's step: 32 ms.
		EXPECT_LE(most, 1536u);
		EXPECT_EQ(0u, ur_after_start);
		EXPECT_EQ(0u, zva.ring_or.load());
		// A 500 Hz sine of 0.3 keeps its second difference below 0.3 (2 pi 500 / 48000)^2.
		EXPECT_LT(worst, 0.3 * std::pow(2 * M_PI * 500 / 48000, 2) + 1e-4);
	}
}

// When the calls' thread expects the next period: a period that came late
// does not move the device's schedule, one that came early does, a slow
// drift later is followed, and a gap starts the schedule again.
TEST(period_schedule, the_next_period_is_due_on_the_device_schedule)
{
	constexpr int64_t ms = 1000000;
	constexpr int64_t period = 10 * ms;
	const struct {
		int64_t due, came, next;
	} cases[] = {
		{0, 100 * ms, 110 * ms},                 // the first period
		{100 * ms, 100 * ms, 110 * ms},          // on time
		{100 * ms, 104 * ms, 110 * ms + 5000},   // late: the schedule holds, creeping at most 5 us
		{100 * ms, 100 * ms + 2000, 110 * ms + 2000}, // a little later: followed
		{100 * ms, 97 * ms, 107 * ms},           // early: the schedule moves
		{100 * ms, 125 * ms, 135 * ms},          // after a gap of more than a period: starts again
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.next, next_period_due(c.due, c.came, period)) << c.due << " " << c.came;
}
