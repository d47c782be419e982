// The STATS message, built against stand-ins for the engine's tracks, the
// SIP library's calls and streams and the page's websockets (the real libre
// for dictionaries, JSON and timers): which tracks are listed, which members
// each entry has and the figures' full range.
#include <gtest/gtest.h>

#include <climits>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "events.h"
#include "session.h"
#include "stats.h"
#include "ws.h"
#include "zvaudio.h"

struct stream {
	uint32_t rx_packets, tx_packets, rx_bytes, tx_bytes;
	struct rtcp_stats rtcp;
};

struct audio {
	struct stream *strm;
	uint64_t jb_ms;
};

struct call {
	struct audio *au;
};

namespace {

// The engine's call tracks by id: the stream's 0 and the callers' 1 to 6.
struct call *track_calls[ZVAUDIO_CALL_TRACKS + 1];
std::map<uint32_t, struct zvaudio_receive_figures> received;
std::set<const struct call *> alive;
std::vector<std::string> sent;

}

bool zvaudio_track_exists(uint32_t id)
{
	return id <= ZVAUDIO_CALL_TRACKS;
}

struct call *zvaudio_track_call(uint32_t id)
{
	return zvaudio_track_exists(id) ? track_calls[id] : nullptr;
}

bool zvaudio_track_receive(uint32_t id, struct zvaudio_receive_figures *f)
{
	auto it = received.find(id);
	if (it == received.end())
		return false;
	*f = it->second;
	return true;
}

bool zv_call_alive(const struct call *call)
{
	return alive.count(call);
}

void webapp_ws_send_json(int endpoint, const struct odict *dict)
{
	char *text = nullptr;
	ASSERT_EQ(endpoint, WS_CALLS);
	ASSERT_EQ(re_sdprintf(&text, "%H", json_encode_odict, dict), 0);
	sent.emplace_back(text);
	mem_deref(text);
}

struct audio *call_audio(const struct call *call)
{
	return call ? call->au : nullptr;
}

struct stream *audio_strm(const struct audio *au)
{
	return au ? au->strm : nullptr;
}

uint64_t audio_jb_current_value(const struct audio *au)
{
	return au ? au->jb_ms : 0;
}

uint32_t stream_metric_get_rx_n_packets(const struct stream *s)
{
	return s->rx_packets;
}

uint32_t stream_metric_get_tx_n_packets(const struct stream *s)
{
	return s->tx_packets;
}

uint32_t stream_metric_get_rx_n_bytes(const struct stream *s)
{
	return s->rx_bytes;
}

uint32_t stream_metric_get_tx_n_bytes(const struct stream *s)
{
	return s->tx_bytes;
}

const struct rtcp_stats *stream_rtcp_stats(const struct stream *s)
{
	return s ? &s->rtcp : nullptr;
}

namespace {

const char bare_tracks[] =
	"{\"track\":1,\"active\":false,\"call\":false},"
	"{\"track\":2,\"active\":false,\"call\":false},"
	"{\"track\":3,\"active\":false,\"call\":false},"
	"{\"track\":4,\"active\":false,\"call\":false},"
	"{\"track\":5,\"active\":false,\"call\":false},"
	"{\"track\":6,\"active\":false,\"call\":false}";

class Stats : public ::testing::Test {
protected:
	static void SetUpTestSuite() { ASSERT_EQ(libre_init(), 0); }
	static void TearDownTestSuite() { libre_close(); }

	void SetUp() override
	{
		for (struct call *&c : track_calls)
			c = nullptr;
		alive.clear();
		sent.clear();
		received.clear();
		tmr_init(&webapp_stats_tmr);
	}

	void TearDown() override { webapp_stats_close(); }

	void put(uint32_t id, struct call *c)
	{
		track_calls[id] = c;
		alive.insert(c);
	}

	// The entry of track id in the one message sent.
	std::string entry(uint32_t id)
	{
		webapp_stats_timer(nullptr);
		EXPECT_EQ(sent.size(), 1u);
		const std::string &m = sent.at(0);
		const std::string start = "{\"track\":" + std::to_string(id) + ",";
		size_t b = m.find(start);
		if (b == std::string::npos)
			return "";
		int depth = 0;
		for (size_t i = b; i < m.size(); ++i) {
			depth += m[i] == '{' ? 1 : m[i] == '}' ? -1 : 0;
			if (!depth)
				return m.substr(b, i - b + 1);
		}
		return "";
	}
};

TEST_F(Stats, WithoutCallsSixBareEntriesAndTheTimerRunsAgainIn250Ms)
{
	webapp_stats_timer(nullptr);
	ASSERT_EQ(sent.size(), 1u);
	EXPECT_EQ(sent[0], std::string("{\"callback\":\"STATS\",\"tracks\":[") + bare_tracks + "]}");
	ASSERT_TRUE(tmr_isrunning(&webapp_stats_tmr));
	EXPECT_GT(tmr_get_expire(&webapp_stats_tmr), 200u);
	EXPECT_LE(tmr_get_expire(&webapp_stats_tmr), 250u);

	webapp_stats_close();
	webapp_stats_init();
	EXPECT_GT(tmr_get_expire(&webapp_stats_tmr), 1950u);
	EXPECT_LE(tmr_get_expire(&webapp_stats_tmr), 2000u);
}

TEST_F(Stats, StreamTrackAndFreedCallsAreNotShown)
{
	struct stream s{};
	struct audio au{&s, 0};
	struct call on_stream{&au}, freed{&au};
	put(ZVAUDIO_STREAM_TRACK, &on_stream);
	track_calls[4] = &freed; // the library freed it without an event
	webapp_stats_timer(nullptr);
	ASSERT_EQ(sent.size(), 1u);
	EXPECT_EQ(sent[0], std::string("{\"callback\":\"STATS\",\"tracks\":[") + bare_tracks + "]}");
}

TEST_F(Stats, CallWithoutMediaStreamIsInactive)
{
	struct audio au{nullptr, 0};
	struct call with_audio{&au}, without_audio{nullptr};
	put(2, &with_audio);
	put(3, &without_audio);
	EXPECT_EQ(entry(2), "{\"track\":2,\"active\":false,\"call\":true}");
	sent.clear();
	EXPECT_EQ(entry(3), "{\"track\":3,\"active\":false,\"call\":true}");
}

TEST_F(Stats, FiguresWithoutRtcpOrJitterBufferInTheirFullRange)
{
	struct stream s{};
	s.rx_packets = 4000000000u;
	s.tx_packets = UINT32_MAX;
	struct audio au{&s, 5000000000ull};
	struct call c{&au};
	put(3, &c);
	EXPECT_EQ(entry(3), "{\"track\":3,\"active\":true,\"call\":true,\"buffer\":5000000000,"
			    "\"rx_bitrate\":0,\"tx_bitrate\":0,\"rx_packets\":4000000000,"
			    "\"tx_packets\":4294967295}");
}

TEST_F(Stats, RtcpFiguresPassNegativeLossesThrough)
{
	struct stream s{};
	s.rtcp.rx = {10, -3, 2500};
	s.rtcp.tx = {12, INT_MIN, 3000000000u};
	s.rtcp.rtt = 1500;
	struct audio au{&s, 40};
	struct call c{&au};
	put(1, &c);
	EXPECT_EQ(entry(1), "{\"track\":1,\"active\":true,\"call\":true,\"buffer\":40,"
			    "\"rx_bitrate\":0,\"tx_bitrate\":0,\"rx_packets\":0,\"tx_packets\":0,"
			    "\"rx_lost\":-3,\"rx_jitter\":2500,\"tx_lost\":-2147483648,"
			    "\"tx_jitter\":3000000000,\"rtt\":1500}");
}

// The engine's receive figures: the buffer it holds, and "jbuf" last with
// its twelve members in their full ranges, the skew signed.
TEST_F(Stats, ReceiveFiguresComeFromTheEngineAndJitterBufferLast)
{
	struct stream s{};
	s.rx_packets = 7;
	struct audio au{&s, 60};
	struct call c{&au};
	put(6, &c);
	struct zvaudio_receive_figures f{};
	f.buffer_ms = 42;
	f.delay_ms = 38;
	f.jitter_ms = 12;
	f.skew_ppm = -200;
	f.packets = 3;
	f.received = 4000000001u;
	f.lost = 8;
	f.late = 4;
	f.late_lost = 3;
	f.oos = 2;
	f.dups = 1;
	f.overflow = 5;
	f.flush = UINT32_MAX;
	received[6] = f;
	EXPECT_EQ(entry(6), "{\"track\":6,\"active\":true,\"call\":true,\"buffer\":42,"
			    "\"rx_bitrate\":0,\"tx_bitrate\":0,\"rx_packets\":7,\"tx_packets\":0,"
			    "\"jbuf\":{\"delay\":38,\"jitter\":12,\"skew\":-200,\"packets\":3,"
			    "\"put\":4000000001,\"lost\":8,\"late\":4,\"late_lost\":3,\"oos\":2,"
			    "\"dups\":1,\"overflow\":5,\"flush\":4294967295}}");
}

}
