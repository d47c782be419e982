// A call's receive path in the engine, with the far end and the network
// modelled: 20 ms packets of a steady tone, in a codec of the test's (the
// payload is the 8 kHz samples), go through a network of the test's (delay and
// jitter, loss, reordering, a stall, a far clock off ours) into the queue as
// the receive tap leaves them; the engine pulls and mixes them on the
// engine's own clock. The call's audio is judged as a listener would: gaps,
// clicks, and how long it waits.
#include "engine_fixture.h"
#include "receive.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <random>

namespace {

constexpr uint32_t CODEC_RATE = 8000;
constexpr size_t PACKET_SAMPLES = 160;     // 20 ms
constexpr double FREQ = 440, LEVEL = 8000;
constexpr int64_t NS = 1000000000;

int l16_decode(struct audec_state *, int, void *sampv, size_t *sampc, bool, const uint8_t *buf, size_t len)
{
	const size_t n = std::min(*sampc, len / 2);
	std::memcpy(sampv, buf, 2 * n);
	*sampc = n;
	return 0;
}

struct link_model {
	double delay_ms = 30, jitter_ms = 0;  // uniform within delay +- jitter
	double loss = 0;
	double reorder = 0, reorder_ms = 0;   // this fraction held back this long
	double ppm = 0;                       // the far clock fast (+) or slow
	double stall_at = -1, stall_s = 0;    // the far end stops, then sends what it owes
	double hold_at = -1, hold_s = 0;      // the sound card gives no period, packets still come
};

struct in_flight {
	int64_t arrival;
	struct rx_packet packet;
};

struct run {
	std::vector<int16_t> left;            // the call's audio, left channel
	std::vector<double> buffer_ms, headroom_ms, target_ms;  // one a period
	std::vector<uint32_t> late;
	struct zvaudio_receive_figures figures;
};

// Periods of 10 ms whose audio is broken: far below the tone's level.
size_t broken_periods(const std::vector<int16_t> &left, size_t from_period)
{
	size_t broken = 0;
	for (size_t p = from_period; (p + 1) * 480 <= left.size(); ++p) {
		double sum = 0;
		for (size_t k = p * 480; k < (p + 1) * 480; ++k)
			sum += double(left[k]) * left[k];
		broken += std::sqrt(sum / 480) < 0.5 * LEVEL / std::sqrt(2.0);
	}
	return broken;
}

// The largest second difference from the frame on: a sine keeps it below
// LEVEL (2 pi FREQ / 48000)^2, about 26; a jump shows far above.
double roughness(const std::vector<int16_t> &left, size_t from)
{
	double worst = 0;
	for (size_t k = std::max<size_t>(from, 1); k + 1 < left.size(); ++k)
		worst = std::max(worst, std::fabs(double(left[k + 1]) - 2.0 * left[k] + left[k - 1]));
	return worst;
}

double median(std::vector<double> v)
{
	std::sort(v.begin(), v.end());
	return v.empty() ? 0 : v[v.size() / 2];
}

class receive_test : public engine_test {
protected:
	void SetUp() override
	{
		engine_test::SetUp();
		codec.name = "L16";
		codec.srate = CODEC_RATE;
		codec.crate = CODEC_RATE;
		codec.ch = 1;
		codec.pch = 1;
		codec.dech = l16_decode;
		zva.monitoring = false;
		bind(1);
		// A call's player: its packets take the receive path. Nothing reads
		// the audio object itself.
		players[1]->audio = reinterpret_cast<struct audio *>(&codec);
		rec = track_at(1)->path->receive;
		rec->decoders[0] = rx_decoder{};
		rec->decoders[0].pt = 96;
		rec->decoders[0].ac = &codec;
		auresamp_init(&rec->decoders[0].resampler);
		ASSERT_EQ(0, auresamp_setup(&rec->decoders[0].resampler, CODEC_RATE, 1, 48000, 2));
		rec->decoder_count = 1;
	}

	void TearDown() override
	{
		players[1]->audio = nullptr;
		rec->decoder_count = 0;
		engine_test::TearDown();
	}

	run play(const link_model &l, double seconds)
	{
		std::mt19937 rng(1);
		std::uniform_real_distribution<double> unit(0, 1);
		std::vector<in_flight> flying;
		run r;
		const int64_t start = clock_ns;
		int64_t sent = 0;
		const uint32_t generation = track_at(1)->path->play_generation;
		const std::vector<float> input(960, 0.0f);
		for (size_t period = 0; double(period) * 0.01 < seconds; ++period) {
			const double now_s = double(clock_ns - start) / 1e9;
			// The far end sends each packet when its clock says so.
			for (; double(sent) * 0.02 <= now_s * (1 + l.ppm * 1e-6); ++sent) {
				double at = double(sent) * 0.02 / (1 + l.ppm * 1e-6);
				if (at >= l.stall_at && at < l.stall_at + l.stall_s)
					at = l.stall_at + l.stall_s;
				double delay = l.delay_ms + (2 * unit(rng) - 1) * l.jitter_ms;
				if (unit(rng) < l.reorder)
					delay += l.reorder_ms;
				if (unit(rng) < l.loss)
					continue;
				in_flight f;
				f.arrival = start + int64_t((at + delay / 1000) * double(NS));
				struct rx_packet &p = f.packet;
				p.generation = generation;
				p.seq = uint16_t(1000 + sent);
				p.ts = uint32_t(90000 + sent * PACKET_SAMPLES);
				p.decoder = 0;
				p.new_source = sent == 0;
				p.len = PACKET_SAMPLES * 2;
				auto *v = reinterpret_cast<int16_t *>(p.payload);
				for (size_t k = 0; k < PACKET_SAMPLES; ++k) {
					const double n = double(sent * PACKET_SAMPLES + k);
					v[k] = int16_t(std::lrint(LEVEL * std::sin(2 * M_PI * FREQ * n / CODEC_RATE)));
				}
				flying.push_back(f);
			}
			// What has arrived by now, in the order it arrived.
			std::stable_sort(flying.begin(), flying.end(),
					 [](const in_flight &a, const in_flight &b) { return a.arrival < b.arrival; });
			size_t taken = 0;
			for (; taken < flying.size() && flying[taken].arrival <= clock_ns; ++taken) {
				flying[taken].packet.arrival_ns = flying[taken].arrival;
				rec->queue.write(&flying[taken].packet, 1);
			}
			flying.erase(flying.begin(), flying.begin() + ptrdiff_t(taken));

			if (now_s >= l.hold_at && now_s < l.hold_at + l.hold_s) {
				clock_ns += NS / 100;
				r.left.insert(r.left.end(), 480, 0);
				r.buffer_ms.push_back(r.buffer_ms.empty() ? 0 : r.buffer_ms.back());
				r.headroom_ms.push_back(r.headroom_ms.empty() ? 0 : r.headroom_ms.back());
				r.target_ms.push_back(r.target_ms.empty() ? 0 : r.target_ms.back());
				r.late.push_back(r.late.empty() ? 0 : r.late.back());
				continue;
			}
			engine_test::period(input, 2);
			const int16_t *call = track_at(1)->path->call;
			for (size_t k = 0; k < 480; ++k)
				r.left.push_back(call[2 * k]);
			r.buffer_ms.push_back(rec->play.figures.buffer_ms);
			r.headroom_ms.push_back(rec->play.headroom_ms);
			r.target_ms.push_back(rec->play.target_ms);
			r.late.push_back(rec->play.figures.late);
		}
		r.figures = rec->play.figures;
		return r;
	}

	struct aucodec codec = {};
	struct call_receive *rec = nullptr;
};

std::vector<double> from(const std::vector<double> &v, double seconds)
{
	return std::vector<double>(v.begin() + ptrdiff_t(seconds * 100), v.end());
}

}

// On a calm network the tone comes whole, nothing is concealed, and it waits
// as little as the configured minimum allows.
TEST_F(receive_test, a_calm_link_plays_every_packet_at_the_floor)
{
	const run r = play(link_model{}, 20);
	EXPECT_EQ(0u, broken_periods(r.left, 100));
	EXPECT_LT(roughness(r.left, 48000), 40);
	EXPECT_EQ(0u, r.figures.concealed_ms);
	EXPECT_EQ(0u, r.figures.lost);
	EXPECT_EQ(0u, r.figures.late);
	EXPECT_NEAR(r.figures.received, 1000, 2);
	const double buffered = median(from(r.buffer_ms, 2));
	EXPECT_GE(buffered, 20);
	EXPECT_LE(buffered, 55);
}

// Packets 80 ms +- 30 ms late (and so out of order): within a few seconds
// the buffer covers the spread, after which every packet is played.
TEST_F(receive_test, a_jittery_link_lifts_the_buffer_to_its_spread)
{
	link_model l;
	l.delay_ms = 80;
	l.jitter_ms = 30;
	const run r = play(l, 40);
	EXPECT_LE(broken_periods(r.left, 500), 2u);
	const double target = median(from(r.target_ms, 5));
	EXPECT_GE(target, 55);
	EXPECT_LE(target, 80);
	EXPECT_LE(median(from(r.buffer_ms, 5)), 84);
	EXPECT_GT(r.figures.oos, 100u);
}

// Lost packets are counted from the sequence numbers and concealed; the
// rest plays.
TEST_F(receive_test, lost_packets_are_counted_and_concealed)
{
	link_model l;
	l.loss = 0.05;
	const run r = play(l, 60);
	const double expected = 3000;
	EXPECT_NEAR(r.figures.lost / expected, 0.05, 0.012);
	EXPECT_NEAR(r.figures.received + r.figures.lost, expected, 2);
	EXPECT_NEAR(r.figures.concealed_ms, r.figures.lost * 20.0, 100);
	EXPECT_EQ(0u, r.figures.late);
}

// Packets held back by 30 ms now and then: the buffer learns to wait for
// them, and then none is thrown away.
TEST_F(receive_test, reordered_packets_are_waited_for)
{
	link_model l;
	l.reorder = 0.1;
	l.reorder_ms = 30;
	const run r = play(l, 50);
	EXPECT_EQ(r.late[2999], r.late.back());
	EXPECT_EQ(0u, broken_periods(r.left, 3000));
	EXPECT_GE(median(from(r.target_ms, 30)), 30);
}

// The far end stops for 2 s and then sends what it owes at once: the heap
// is taken back to the target within 3 s by whole pitch periods, without a
// click, and the target itself does not take the stall for the network.
TEST_F(receive_test, a_stall_is_drained_to_the_target_within_3_s)
{
	link_model l;
	l.stall_at = 10;
	l.stall_s = 2;
	const run r = play(l, 30);
	const double target_before = r.target_ms[999];
	EXPECT_GT(*std::max_element(r.buffer_ms.begin() + 1200, r.buffer_ms.begin() + 1300), 100);
	// Back in the follower's band above the target from 15 s on (the far
	// end resumed at 12 s).
	for (size_t p = 1500; p < r.headroom_ms.size(); ++p)
		ASSERT_LT(r.headroom_ms[p] - r.target_ms[p], 12) << p;
	EXPECT_LT(r.target_ms.back(), target_before + 5);
	// From half a second after it resumed, no gap and no click.
	EXPECT_EQ(0u, broken_periods(r.left, 1250));
	EXPECT_LT(roughness(r.left, 1250 * 480), 40);
}

// The sound card gives no period for the first half second of a call (a
// device or its server that stalls) while the far end's packets keep coming:
// the ones that waited longer than a buffer holds are let go, and the call
// plays at its target.
TEST_F(receive_test, packets_held_past_the_buffer_by_the_sound_card_are_let_go)
{
	link_model l;
	l.hold_at = 0;
	l.hold_s = 0.5;
	const run r = play(l, 20);
	EXPECT_EQ(0u, broken_periods(r.left, 200));
	for (size_t p = 300; p < r.headroom_ms.size(); ++p)
		ASSERT_LT(r.headroom_ms[p] - r.target_ms[p], 12) << p;
}

// A far clock 200 ppm off ours, either way, over five minutes: followed
// without a gap or a click, the buffer staying low.
class far_clock : public receive_test, public ::testing::WithParamInterface<double> {
};

TEST_P(far_clock, is_followed_without_gaps)
{
	link_model l;
	l.ppm = GetParam();
	const run r = play(l, 300);
	EXPECT_EQ(0u, broken_periods(r.left, 100));
	EXPECT_LT(roughness(r.left, 48000), 40);
	EXPECT_EQ(0u, r.figures.concealed_ms);
	const auto settled = from(r.buffer_ms, 10);
	EXPECT_LE(*std::max_element(settled.begin(), settled.end()), 60);
	EXPECT_GE(*std::min_element(settled.begin(), settled.end()), 15);
	EXPECT_NEAR(r.figures.skew_ppm, l.ppm, 50);
}

INSTANTIATE_TEST_SUITE_P(receive_test, far_clock, ::testing::Values(200.0, -200.0));
