// Call sessions and SIP events against the fake library: which track a call
// takes, what the page receives and in which order, the call limit, and the
// library's calls that end without events.
#include <gtest/gtest.h>

#include "event.h"
#include "fake_sip.h"
#include "listener.h"
#include "session.h"
#include "track_mix.h"
#include "webapp.h"
#include "ws.h"
#include "zvaudio.h"

namespace {

const char stream_uri[] = "sip:stream@svc.test;transport=tls";

// The on-air stream's side: whether a stream call took the stream track,
// and whether a close reached it.
bool stream_taken;
bool stream_closed;
const webapp_session_stream stream = {
	stream_uri, [] { stream_taken = true; }, [] { stream_closed = true; }};

class Sessions : public ::testing::Test {
protected:
	struct ua *ua = nullptr;

	void SetUp() override
	{
		fake::reset();
		ASSERT_EQ(0, odict_alloc(&webapp_calls, 32));
		webapp_auto_answer = false;
		stream_taken = false;
		stream_closed = false;
		webapp_events_init();
		webapp_sessions_init();
		ua = fake::ua_new("sip:zv@127.0.0.1");
		fake::current_ua = ua;
	}

	void TearDown() override
	{
		webapp_session_stream_set(nullptr);
		webapp_sessions_close();
		webapp_events_close();
		webapp_calls = static_cast<struct odict *>(mem_deref(webapp_calls));
		fake::free_all();
	}

	struct call *incoming(const char *peer)
	{
		struct call *c = fake::call_new(ua, peer, false);
		fake::emit(UA_EVENT_CALL_INCOMING, ua, c, peer);
		return c;
	}

	// The texts sent to "/ws_calls" since the last clear.
	std::vector<std::string> calls_pushes() const
	{
		std::vector<std::string> out;
		for (const auto &p : fake::pushes) {
			if (p.endpoint == WS_CALLS)
				out.push_back(p.text);
		}
		return out;
	}

	std::string calls_json() const
	{
		char *text = nullptr;
		re_sdprintf(&text, "%H", json_encode_odict, webapp_calls);
		std::string s = text;
		mem_deref(text);
		return s;
	}
};

TEST_F(Sessions, IncomingCallsFillTracksInOrderThenTheLimitRefuses)
{
	for (int i = 1; i <= 6; ++i) {
		fake::clear_pushes();
		incoming(("sip:caller" + std::to_string(i) + "@127.0.0.1").c_str());
		auto p = calls_pushes();
		ASSERT_EQ(2u, p.size());
		const std::string entry = "\"" + std::to_string(i) + "\":{\"peer\":\"sip:caller" +
					  std::to_string(i) + "@127.0.0.1\",\"state\":\"Incoming\",\"ch\":" +
					  std::to_string(2 * i - 1) + ",\"chmix\":\"Stereo\"";
		EXPECT_NE(std::string::npos, p[0].find(entry)) << p[0];
		EXPECT_EQ("{\"callback\":\"INCOMING\",\"peeruri\":\"sip:caller" + std::to_string(i) +
				  "@127.0.0.1\",\"key\":\"" + std::to_string(i) + "\"}",
			  p[1]);
		EXPECT_EQ(i < 6 ? 7u : 1u, fake::max_calls()) << i;
	}

	// Past the limit the library refuses by itself; a call that still
	// arrives is refused here and the page hears why.
	fake::clear_pushes();
	incoming("sip:caller7@127.0.0.1");
	ASSERT_EQ(1u, fake::hangups.size());
	EXPECT_EQ("486 Max Calls", fake::hangups[0]);
	auto p = calls_pushes();
	ASSERT_EQ(2u, p.size());
	EXPECT_EQ("{\"callback\":\"CLOSED\",\"message\":\"Max Calls\"}", p[0]);

	// A freed track is taken again, and the limit opens.
	fake::page_command(WS_CALLS, R"({"command":"hangup","key":"3"})");
	EXPECT_EQ(7u, fake::max_calls());
	fake::clear_pushes();
	incoming("sip:late@127.0.0.1");
	p = calls_pushes();
	ASSERT_EQ(2u, p.size());
	EXPECT_EQ("{\"callback\":\"INCOMING\",\"peeruri\":\"sip:late@127.0.0.1\",\"key\":\"3\"}", p[1]);
	EXPECT_NE(std::string::npos, p[0].find("\"3\":{\"peer\":\"sip:late@127.0.0.1\",\"state\":"
						"\"Incoming\",\"ch\":5"));
}

TEST_F(Sessions, CallLimitIsGivenBackAtClose)
{
	for (int i = 1; i <= 6; ++i)
		incoming("sip:caller@127.0.0.1");
	EXPECT_EQ(1u, fake::max_calls());
	webapp_sessions_close();
	EXPECT_EQ(7u, fake::max_calls());
	webapp_sessions_init();
	EXPECT_EQ(1u, fake::max_calls());
}

TEST_F(Sessions, OwnHangupSendsOnlyTheCallsObjectRemoteOneCloses)
{
	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"far"})");
	ASSERT_EQ(std::vector<std::string>{"sip:far@127.0.0.1"}, fake::connects);
	EXPECT_EQ("{\"1\":{\"peer\":\"sip:far@127.0.0.1\",\"state\":\"Outgoing\",\"ch\":1,"
		  "\"chmix\":\"Stereo\",\"volume\":1.000000,\"track\":1}}",
		  calls_json());
	struct call *c = fake::track_call(1);
	ASSERT_NE(nullptr, c);
	fake::emit(UA_EVENT_CALL_ESTABLISHED, ua, c, "");
	EXPECT_NE(std::string::npos, calls_json().find("\"state\":\"Established\""));

	fake::clear_pushes();
	fake::page_command(WS_CALLS, R"({"command":"hangup","key":"1"})");
	EXPECT_EQ(std::vector<std::string>{"{}"}, calls_pushes());
	EXPECT_EQ(nullptr, fake::track_call(1));

	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"far"})");
	fake::clear_pushes();
	fake::call_close(fake::track_call(1), "Connection reset by peer");
	EXPECT_EQ((std::vector<std::string>{
			  "{\"callback\":\"CLOSED\",\"message\":\"Connection reset by peer\"}", "{}"}),
		  calls_pushes());
}

TEST_F(Sessions, EveryCallWatchesItsMediaAndIsToldEndedForItsSilence)
{
	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"far"})");
	struct call *placed = fake::track_call(1);
	ASSERT_NE(nullptr, placed);
	struct call *taken = incoming("sip:caller@127.0.0.1");
	EXPECT_EQ(60000u, placed->rtp_timeout_ms);
	EXPECT_EQ(60000u, taken->rtp_timeout_ms);

	// The library's text for its RTP timeout becomes one that says what
	// happened; its other texts pass unchanged.
	fake::clear_pushes();
	fake::call_close(placed, "rtp stream error");
	fake::call_close(taken, "Connection reset by peer");
	const auto p = calls_pushes();
	ASSERT_EQ(4u, p.size());
	EXPECT_EQ("{\"callback\":\"CLOSED\",\"message\":\"No audio from the partner for 60 s\"}", p[0]);
	EXPECT_EQ("{\"callback\":\"CLOSED\",\"message\":\"Connection reset by peer\"}", p[2]);
}

TEST_F(Sessions, EntriesStandInTheOrderOfTheirLastPublication)
{
	struct call *a = fake::call_new(ua, "sip:a@x", true);
	struct call *b = fake::call_new(ua, "sip:b@x", true);
	EXPECT_EQ(2u, webapp_session_update_track(a, webapp_state_outgoing, 2));
	EXPECT_EQ(1u, webapp_session_update_track(b, webapp_state_outgoing, 0));
	std::string j = calls_json();
	EXPECT_LT(j.find("\"2\":"), j.find("\"1\":"));
	webapp_session_update(a, webapp_state_established);
	j = calls_json();
	EXPECT_LT(j.find("\"1\":"), j.find("\"2\":"));

	// A requested track that is taken: no track, the object only resent.
	fake::clear_pushes();
	struct call *c = fake::call_new(ua, "sip:c@x", true);
	EXPECT_EQ(0u, webapp_session_update_track(c, webapp_state_outgoing, 2));
	EXPECT_EQ(std::vector<std::string>{j}, calls_pushes());

	// A call on no track takes the first free one at its next update.
	EXPECT_EQ(3u, webapp_session_update(c, webapp_state_established));
	EXPECT_EQ(c, fake::track_call(3));

	// With a key and a call, each track is tried by key, then by call, in
	// list order: the call's track 1 comes first and is freed, unhung.
	EXPECT_EQ(0, webapp_session_close("2", b));
	EXPECT_EQ(nullptr, fake::track_call(1));
	EXPECT_EQ(a, fake::track_call(2));
	EXPECT_TRUE(fake::hangups.empty());

	EXPECT_EQ(EINVAL, webapp_session_close(nullptr, nullptr));
}

TEST_F(Sessions, CallCommandRefusalsAndErrors)
{
	struct row {
		const char *json;
		const char *reply; // the one text pushed to "/ws_calls"
	};
	const row rows[] = {
		{R"({"command":"call","dial":""})",
		 "{ \"callback\": \"CLOSED\",\t\"message\": \"SIP Number Empty\" }"},
		{R"({"command":"call"})", "{\"callback\":\"CLOSED\",\"message\":\": Invalid argument [22]\"}"},
		{R"({"command":"call","dial":"a\r\nX-Evil: 1"})",
		 "{\"callback\":\"CLOSED\",\"message\":\"a\\r\\nX-Evil: 1: Invalid argument [22]\"}"},
		{R"({"command":"call","dial":"a b"})",
		 "{\"callback\":\"CLOSED\",\"message\":\"a b: Invalid argument [22]\"}"},
		{R"({"command":"call","dial":"<sip:a@b>"})",
		 "{\"callback\":\"CLOSED\",\"message\":\"<sip:a@b>: Invalid argument [22]\"}"},
	};
	for (const row &r : rows) {
		fake::clear_pushes();
		fake::page_command(WS_BARESIP, r.json);
		EXPECT_EQ(std::vector<std::string>{r.reply}, calls_pushes()) << r.json;
	}
	EXPECT_TRUE(fake::connects.empty());

	fake::clear_pushes();
	fake::current_ua = nullptr;
	// No user agent: the first of the library's list is not taken here,
	// the accounts' current one is.
	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"far"})");
	EXPECT_EQ((std::vector<std::string>{
			  "{\"callback\":\"CLOSED\",\"message\":\"far: Invalid argument [22]\"}"}),
		  calls_pushes());

	fake::current_ua = ua;
	fake::connect_error = EACCES;
	fake::clear_pushes();
	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"far"})");
	EXPECT_EQ((std::vector<std::string>{
			  "{\"callback\":\"CLOSED\",\"message\":\"far: Permission denied [13]\"}"}),
		  calls_pushes());
	ASSERT_FALSE(fake::warnings.empty());
	EXPECT_EQ("zv_ua_connect: sip:far@127.0.0.1: Permission denied [13]\n", fake::warnings.back());
}

TEST_F(Sessions, CallCommandTrackMember)
{
	const char busy[] = "{ \"callback\": \"CLOSED\",\t\"message\": \"Track is not available\" }";
	const char none[] = "{ \"callback\": \"CLOSED\",\t\"message\": \"Max Calls reached...\" }";

	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"a","track":3})");
	EXPECT_NE(nullptr, fake::track_call(3));
	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"b","track":2.7})");
	EXPECT_NE(nullptr, fake::track_call(2));

	fake::clear_pushes();
	fake::page_command(WS_BARESIP, R"({"command":"call","dial":"c","track":3})");
	EXPECT_EQ(std::vector<std::string>{busy}, calls_pushes());

	// Not a track number: any free track, here the first.
	for (const char *t : {"-1", "4294967296", "\"4\"", "1e300"}) {
		webapp_session_close("1", nullptr);
		const std::string json = std::string(R"({"command":"call","dial":"d","track":)") + t + "}";
		fake::page_command(WS_BARESIP, json.c_str());
		EXPECT_NE(nullptr, fake::track_call(1)) << t;
		EXPECT_EQ(nullptr, fake::track_call(4)) << t;
	}

	for (uint32_t i = 1; i <= 6; ++i) {
		if (!fake::track_call(i))
			webapp_session_update_track(fake::call_new(ua, "sip:x@y", true),
						    webapp_state_outgoing, i);
	}
	for (const char *json : {R"({"command":"call","dial":"e","track":0})",
				 R"({"command":"call","dial":"e"})"}) {
		fake::clear_pushes();
		fake::page_command(WS_BARESIP, json);
		EXPECT_EQ(std::vector<std::string>{none}, calls_pushes()) << json;
	}
}

TEST_F(Sessions, VolumeAndChannelMode)
{
	struct call *c = incoming("sip:a@x");
	(void)c;
	struct row {
		const char *value;
		const char *shown;
	};
	const row rows[] = {
		{"0.5", "\"volume\":0.500000"}, {"abc", "\"volume\":0.000000"},
		{"2", "\"volume\":2.000000"},   {"inf", "\"volume\":2.000000"},
		{"nan", "\"volume\":2.000000"}, {"1e999", "\"volume\":2.000000"},
		{"-1e7", "\"volume\":2.000000"}, {"0.5", "\"volume\":0.500000"},
	};
	for (const row &r : rows) {
		fake::clear_pushes();
		const std::string json =
			std::string(R"({"command":"volume","key":"1","value":")") + r.value + "\"}";
		fake::page_command(WS_CALLS, json.c_str());
		auto p = calls_pushes();
		ASSERT_EQ(1u, p.size()) << r.value;
		EXPECT_NE(std::string::npos, p[0].find(r.shown)) << r.value << " " << p[0];
	}

	for (const char *mode : {"Mono L", "Mono R", "Stereo"}) {
		fake::clear_pushes();
		fake::page_command(WS_CALLS, R"({"command":"chmix","key":"1"})");
		auto p = calls_pushes();
		ASSERT_EQ(1u, p.size());
		EXPECT_NE(std::string::npos, p[0].find(std::string("\"chmix\":\"") + mode + "\""));
	}
	fake::page_command(WS_CALLS, R"({"command":"chmix","key":"1"})");
	EXPECT_EQ(1, webapp_track_mix_of(1)->chmix.load());

	// The next call on the track keeps the volume, not the mode.
	webapp_session_close("1", nullptr);
	incoming("sip:b@x");
	EXPECT_NE(std::string::npos,
		  calls_json().find("\"chmix\":\"Stereo\",\"volume\":0.500000,\"track\":1"));

	// Commands on a free track or an unknown key do nothing.
	fake::clear_pushes();
	for (const char *json : {R"({"command":"volume","key":"2","value":"3"})",
				 R"({"command":"chmix","key":"9"})", R"({"command":"hangup","key":2})",
				 R"({"command":"accept","key":"01"})"})
		fake::page_command(WS_CALLS, json);
	EXPECT_TRUE(calls_pushes().empty());
}

TEST_F(Sessions, AutoAnswerAndAcceptAndDtmf)
{
	webapp_auto_answer = true;
	struct call *c = incoming("sip:a@x");
	EXPECT_TRUE(c->answered);
	for (const auto &p : calls_pushes())
		EXPECT_EQ(std::string::npos, p.find("INCOMING"));

	webapp_auto_answer = false;
	struct call *d = incoming("sip:b@x");
	EXPECT_FALSE(d->answered);
	fake::page_command(WS_CALLS, R"({"command":"accept","key":"2"})");
	EXPECT_TRUE(d->answered);
	// a key is held until its release; a new key releases the held one
	// first, and the module's close releases what is still held
	fake::page_command(WS_CALLS, R"({"command":"dtmf","key":"2","tone":"5#"})");
	EXPECT_EQ("5", d->digits);
	fake::page_command(WS_CALLS, R"({"command":"dtmf","key":"2","tone":""})");
	fake::page_command(WS_CALLS, R"({"command":"dtmf","key":"2"})");
	EXPECT_EQ("5\x04" "0", d->digits);
	webapp_sessions_close();
	EXPECT_EQ("5\x04" "0\x04", d->digits);
	webapp_sessions_init();
}

TEST_F(Sessions, CallsThatEndWithoutEvents)
{
	struct ua *other = fake::ua_new("sip:other@127.0.0.1");
	incoming("sip:a@x");
	struct call *b = fake::call_new(other, "sip:b@x", false);
	fake::emit(UA_EVENT_CALL_INCOMING, other, b, "");
	incoming("sip:c@x");
	for (uint32_t i = 4; i <= 6; ++i)
		incoming("sip:more@x");
	EXPECT_EQ(1u, fake::max_calls());

	// The agent goes: its calls leave their tracks with one calls object
	// and no CLOSED; the other agent's call stays.
	fake::clear_pushes();
	fake::ua_destroy(ua);
	auto p = calls_pushes();
	ASSERT_EQ(1u, p.size());
	EXPECT_EQ(std::string::npos, p[0].find("CLOSED"));
	EXPECT_EQ(b, fake::track_call(2));
	for (uint32_t i : {1u, 3u, 4u, 5u, 6u})
		EXPECT_EQ(nullptr, fake::track_call(i)) << i;
	EXPECT_EQ(7u, fake::max_calls());

	// A call freed behind our back is never used: the page's commands
	// find the track free.
	fake::call_free_silently(b);
	fake::clear_pushes();
	fake::page_command(WS_CALLS, R"({"command":"hangup","key":"2"})");
	EXPECT_TRUE(fake::hangups.empty());
	EXPECT_EQ(nullptr, fake::track_call(2));
	EXPECT_EQ(std::vector<std::string>{"{}"}, calls_pushes());

	// Tracks whose calls were freed that way are free for the next caller.
	for (uint32_t i = 1; i <= 6; ++i)
		webapp_session_update_track(fake::call_new(other, "sip:x@y", true),
					    webapp_state_outgoing, i);
	for (uint32_t i = 1; i <= 6; ++i)
		fake::call_free_silently(fake::track_call(i));
	struct call *late = incoming("sip:late@x");
	EXPECT_EQ(late, fake::track_call(1));
	EXPECT_TRUE(fake::hangups.empty());
	webapp_session_close("1", nullptr);
	fake::hangups.clear();

	// A failed transfer frees the call after its event.
	struct call *t = fake::call_new(other, "sip:t@x", false);
	fake::emit(UA_EVENT_CALL_INCOMING, other, t, "");
	fake::clear_pushes();
	fake::emit(UA_EVENT_CALL_TRANSFER_FAILED, other, t, "503 Service Unavailable");
	EXPECT_EQ((std::vector<std::string>{
			  "{\"callback\":\"CLOSED\",\"message\":\"503 Service Unavailable\"}", "{}"}),
		  calls_pushes());
}

TEST_F(Sessions, StreamCall)
{
	webapp_session_stream_set(&stream);

	// A caller naming the stream in From is an ordinary caller: a call
	// track and an offer to the page; the stream track stays free and the
	// stream unwanted.
	fake::clear_pushes();
	struct call *forged = incoming(stream_uri);
	EXPECT_EQ(forged, fake::track_call(1));
	EXPECT_EQ(nullptr, fake::track_call(ZVAUDIO_STREAM_TRACK));
	EXPECT_FALSE(stream_taken);
	ASSERT_FALSE(calls_pushes().empty());
	EXPECT_EQ("{\"callback\":\"INCOMING\",\"peeruri\":\"sip:stream@svc.test;transport=tls\","
		  "\"key\":\"1\"}",
		  calls_pushes().back());

	// Our own dial of the stream, while the stranger rings: the stream
	// track, silently, wanted.
	fake::clear_pushes();
	struct call *s = fake::call_new(ua, stream_uri, true);
	EXPECT_EQ(0u, webapp_session_update(s, webapp_state_outgoing));
	EXPECT_TRUE(calls_pushes().empty());
	EXPECT_TRUE(stream_taken);
	EXPECT_EQ(s, fake::track_call(ZVAUDIO_STREAM_TRACK));
	EXPECT_EQ(forged, fake::track_call(1));

	// A second stream call of ours takes nothing and is hung up at once,
	// without a CLOSED message: on no track nothing could stop it.
	fake::clear_pushes();
	struct call *again = fake::call_new(ua, stream_uri, true);
	EXPECT_EQ(0u, webapp_session_update(again, webapp_state_outgoing));
	EXPECT_EQ(s, fake::track_call(ZVAUDIO_STREAM_TRACK));
	EXPECT_EQ((std::vector<std::string>{"0 "}), fake::hangups);
	for (const auto &p : calls_pushes())
		EXPECT_EQ(std::string::npos, p.find("CLOSED")) << p;
	fake::page_command(WS_CALLS, R"({"command":"hangup","key":"1"})");
	fake::hangups.clear();
	EXPECT_EQ("{}", calls_json());

	// Key "0" is the stream track: published with "ch" 13, no state.
	fake::page_command(WS_CALLS, R"({"command":"chmix","key":"0"})");
	EXPECT_EQ("{\"0\":{\"peer\":\"sip:stream@svc.test;transport=tls\",\"ch\":13,"
		  "\"chmix\":\"Mono L\",\"volume\":1.000000,\"track\":0}}",
		  calls_json());

	// The stream call ends: CLOSED, and the stream is told, which arms
	// its reconnect.
	fake::clear_pushes();
	stream_closed = false;
	fake::call_close(s, "Connection reset by peer");
	EXPECT_TRUE(stream_closed);
	EXPECT_EQ(nullptr, fake::track_call(ZVAUDIO_STREAM_TRACK));
}

TEST_F(Sessions, RegistrationEvents)
{
	fake::emit(UA_EVENT_REGISTER_OK, ua, nullptr, "200 OK");
	fake::emit(UA_EVENT_REGISTER_FAIL, ua, nullptr, "403 Forbidden");
	fake::emit(UA_EVENT_REGISTERING, ua, nullptr, "");
	EXPECT_EQ((std::vector<std::string>{"sip:zv@127.0.0.1=1", "sip:zv@127.0.0.1=0"}),
		  fake::status_marks);
	ASSERT_EQ(1u, fake::warnings.size());
	EXPECT_EQ("webapp: Register Fail: sip:zv@127.0.0.1\n", fake::warnings[0]);
	size_t accounts_pushes = 0;
	std::vector<std::string> reasons;
	for (const auto &p : fake::pushes) {
		if (p.endpoint != WS_BARESIP)
			continue;
		if (p.text.find("\"REGISTRATION\"") == std::string::npos)
			++accounts_pushes;
		else
			reasons.push_back(p.text);
	}
	EXPECT_EQ(2u, accounts_pushes);
	// why it is offline follows its accounts object, and is told again only
	// when it changes
	EXPECT_EQ((std::vector<std::string>{
			  R"({"callback":"REGISTRATION","reasons":{"sip:zv@127.0.0.1":"403 Forbidden"}})"}),
		  reasons);
	fake::emit(UA_EVENT_REGISTER_FAIL, ua, nullptr, "403 Forbidden");
	fake::emit(UA_EVENT_REGISTER_OK, ua, nullptr, "200 OK");
	EXPECT_EQ(R"({"callback":"REGISTRATION","reasons":{}})", fake::pushes.back().text);
}

}

int main(int argc, char **argv)
{
	::testing::InitGoogleTest(&argc, argv);
	libre_init();
	const int rc = RUN_ALL_TESTS();
	libre_close();
	return rc;
}
