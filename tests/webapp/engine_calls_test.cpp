// The web app's handlers of the audio engine: track playback; and the meter line.
#include <gtest/gtest.h>

#include <cmath>
#include <sstream>
#include <string>
#include <vector>

#include "meter.h"
#include "track_mix.h"
#include "webapp_engine.h"
#include "zvaudio.h"

namespace {

struct fake_player {
	std::vector<int16_t> fill;
	int calls = 0;
	size_t sampc = 0;
};

void fake_write(struct auframe *af, void *arg)
{
	auto *p = static_cast<fake_player *>(arg);
	++p->calls;
	p->sampc = af->sampc;
	EXPECT_EQ(af->fmt, AUFMT_S16LE);
	auto *s = static_cast<int16_t *>(af->sampv);
	for (size_t i = 0; i < af->sampc && i < p->fill.size(); ++i)
		s[i] = p->fill[i];
}

struct play_case {
	double volume;
	int32_t chmix;
	std::vector<int16_t> in;
	std::vector<int16_t> out;
};

class Play : public testing::TestWithParam<play_case> {};

TEST_P(Play, GainThenChannelMix)
{
	const play_case &c = GetParam();
	struct webapp_track_mix *mix = webapp_track_mix_of(3);
	mix->volume = c.volume;
	mix->chmix = c.chmix;
	fake_player p{c.in};
	std::vector<int16_t> buf(c.in.size() + 1, 77);
	webapp_session_play(3, buf.data(), fake_write, c.in.size(), &p);
	EXPECT_EQ(p.calls, 1);
	EXPECT_EQ(p.sampc, c.in.size());
	buf.pop_back();
	EXPECT_EQ(buf, c.out);
}

INSTANTIATE_TEST_SUITE_P(
	Cases, Play,
	testing::Values(
		play_case{1.0, 0, {-32768, 5, 32767, -1}, {-32768, 5, 32767, -1}},
		play_case{2.0, 0, {20000, -20000}, {32767, -32767}},
		play_case{0.5, 0, {3, -3}, {1, -1}},
		play_case{0.0, 0, {1000, -1000}, {0, 0}},
		play_case{-1.0, 0, {-32768, 100}, {32767, -100}},
		play_case{1.0, 1, {100, -5, 7, 8}, {100, 100, 7, 7}},
		play_case{1.0, 2, {100, -5, 7, 8}, {-5, -5, 8, 8}},
		play_case{2.0, 1, {100, -5, 9}, {200, 200, 18}},
		play_case{1.0, 3, {100, -5}, {100, -5}},
		play_case{1.0, 1, {}, {}},
		play_case{std::nan(""), 0, {100, -100}, {0, 0}}));

TEST(Play, FrameStopsAtSamples)
{
	struct webapp_track_mix *mix = webapp_track_mix_of(ZVAUDIO_STREAM_TRACK);
	mix->volume = 3.0;
	mix->chmix = 1;
	fake_player p{{1, 2, 3, 4}};
	int16_t buf[4] = {0, 0, 9, 9};
	webapp_session_play(ZVAUDIO_STREAM_TRACK, buf, fake_write, 2, &p);
	EXPECT_EQ(std::vector<int16_t>(buf, buf + 4), (std::vector<int16_t>{3, 3, 9, 9}));
}

std::vector<std::string> fields(const char *line)
{
	std::vector<std::string> out;
	std::istringstream in(line);
	for (std::string f; in >> f;)
		out.push_back(f);
	return out;
}

TEST(Meter, LineHoldsTimeAndLevels)
{
	float snap[METER_SLOTS][2] = {};
	snap[0][0] = 1.0f;
	snap[0][1] = 0.5f;
	snap[5][1] = 2.0f;
	char line[4096];
	ASSERT_EQ(webapp_meter_line(line, sizeof(line), 3725000, snap), 0);
	auto f = fields(line);
	ASSERT_EQ(f.size(), 66u);
	EXPECT_EQ(f[0], "1:02:05");
	EXPECT_EQ(f[1], "0");
	EXPECT_EQ(f[2], "0.0");
	EXPECT_EQ(f[3], "-6.0");
	EXPECT_EQ(f[2 + 5 * 2 + 1], "6.0");
	EXPECT_EQ(f[4], "inf");
	EXPECT_EQ(f[65], "inf");
	EXPECT_EQ(std::string(line).find("  "), std::string::npos);
	EXPECT_NE(line[strlen(line) - 1], ' ');

	ASSERT_EQ(webapp_meter_line(line, sizeof(line), 360000000, snap), 0);
	EXPECT_EQ(fields(line)[0], "100:00:00");
	ASSERT_EQ(webapp_meter_line(line, sizeof(line), 0, snap), 0);
	EXPECT_EQ(fields(line)[0], "0:00:00");

	EXPECT_EQ(webapp_meter_line(line, 40, 0, snap), ENOMEM);
}

}
