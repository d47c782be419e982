// The driver's source and player binding to tracks.
#include "engine_fixture.h"

#include <atomic>
#include <cstring>
#include <thread>

namespace {

void silent_play(struct auframe *, void *)
{
}

void ignore_frame(struct auframe *, void *)
{
}

}

class binding_test : public engine_test {
protected:
	int play(struct auplay_st **st, void *arg = nullptr, uint32_t srate = 48000, uint8_t ch = 2,
		 int fmt = AUFMT_S16LE)
	{
		struct auplay_prm prm = {srate, ch, 20, fmt};
		return zvaudio_play_alloc(st, nullptr, &prm, "default", silent_play, arg);
	}
	int source(struct ausrc_st **st, void *arg = nullptr, uint32_t srate = 48000, uint8_t ch = 2,
		   int fmt = AUFMT_S16LE)
	{
		struct ausrc_prm prm = {srate, ch, 20, fmt};
		return zvaudio_src_alloc(st, nullptr, nullptr, &prm, "default", ignore_frame, nullptr, arg);
	}
	void put_call(int index)
	{
		calls[index] = std::make_unique<uint8_t[]>(65536);
		std::memset(calls[index].get(), 0, 65536);
		track_at(index)->call = reinterpret_cast<struct call *>(calls[index].get());
	}
};

TEST_F(binding_test, tracks_in_their_fixed_order)
{
	const uint32_t ids[] = {0, 1, 2, 3, 4, 5, 6, 0};
	const int ch[] = {0, 1, 3, 5, 7, 9, 11, 13};
	ASSERT_EQ(8u, list_count(&zva.track_list));
	for (int i = 0; i < 8; ++i) {
		struct track *t = track_at(i);
		EXPECT_EQ(ids[i], t->id);
		EXPECT_EQ(ch[i], t->ch);
		EXPECT_EQ(i == 0, t->local);
		EXPECT_EQ(i == 7, t->is_stream_track);
		EXPECT_EQ(i >= 1 && i <= 6, t->meter_buf != nullptr);
		EXPECT_EQ(i != 7, t->writer != nullptr);
	}
}

// By id the program reaches the call tracks, never the local one: id 0 is
// the stream's track.
TEST_F(binding_test, call_tracks_by_id)
{
	int marks[ZVAUDIO_CALL_TRACKS + 1];
	for (uint32_t id = 0; id <= ZVAUDIO_CALL_TRACKS; ++id) {
		struct track *t = track_at(id ? int(id) : 7);
		EXPECT_TRUE(zvaudio_track_exists(id));
		EXPECT_EQ(t->ch, zvaudio_track_meter_slot(id));
		auto *call = reinterpret_cast<struct call *>(&marks[id]);
		EXPECT_EQ(0, zvaudio_track_bind(id, call));
		EXPECT_EQ(call, t->call);
		EXPECT_EQ(call, zvaudio_track_call(id));
		zvaudio_track_unbind(id);
		EXPECT_EQ(nullptr, zvaudio_track_call(id));
	}
	EXPECT_EQ(nullptr, track_at(0)->call);
	const uint32_t none = ZVAUDIO_CALL_TRACKS + 1;
	EXPECT_FALSE(zvaudio_track_exists(none));
	EXPECT_EQ(ENOENT, zvaudio_track_bind(none, nullptr));
	EXPECT_EQ(-1, zvaudio_track_meter_slot(none));
	struct zvaudio_receive_figures f;
	EXPECT_FALSE(zvaudio_track_receive(none, &f));
}

TEST_F(binding_test, wrong_formats_are_refused)
{
	put_call(1);
	struct auplay_st *p = nullptr;
	struct ausrc_st *s = nullptr;
	EXPECT_EQ(ENOTSUP, play(&p, nullptr, 44100));
	EXPECT_EQ(ENOTSUP, play(&p, nullptr, 48000, 1));
	EXPECT_EQ(ENOTSUP, play(&p, nullptr, 48000, 2, AUFMT_FLOAT));
	EXPECT_EQ(ENOTSUP, source(&s, nullptr, 44100));
	EXPECT_EQ(ENOTSUP, source(&s, nullptr, 48000, 2, AUFMT_FLOAT));
	EXPECT_EQ(EINVAL, zvaudio_play_alloc(nullptr, nullptr, nullptr, "default", silent_play, nullptr));
	EXPECT_FALSE(track_at(1)->play_active);
	EXPECT_FALSE(track_at(1)->src_active);
}

TEST_F(binding_test, binding_follows_calls_and_list_order)
{
	struct auplay_st *p[8] = {};
	struct ausrc_st *s[8] = {};
	// No call anywhere: nothing to bind to.
	EXPECT_EQ(EINVAL, play(&p[0]));

	// A call on remote track 2 only: bound there, never to the local track.
	put_call(2);
	ASSERT_EQ(0, play(&p[0]));
	ASSERT_EQ(0, source(&s[0]));
	EXPECT_EQ(p[0], track_at(2)->play);
	EXPECT_EQ(s[0], track_at(2)->src);
	EXPECT_FALSE(track_at(0)->play_active);

	// Every non-local track with a call and a slot taken: refused.
	for (int i = 0; i < 8; ++i)
		put_call(i);
	for (int i = 1; i < 7; ++i)
		ASSERT_EQ(0, play(&p[i]));
	EXPECT_EQ(p[6], track_at(7)->play); // the stream track comes last
	EXPECT_EQ(EINVAL, play(&p[7]));
	EXPECT_FALSE(track_at(0)->play_active);

	// Destroying a player frees its slot; its source stays.
	mem_deref(p[0]);
	p[0] = nullptr;
	EXPECT_FALSE(track_at(2)->play_active);
	EXPECT_EQ(nullptr, track_at(2)->play);
	EXPECT_TRUE(track_at(2)->src_active);
	ASSERT_EQ(0, play(&p[0]));
	EXPECT_EQ(p[0], track_at(2)->play);

	for (auto *x : p)
		mem_deref(x);
	for (auto *x : s)
		mem_deref(x);
	for (int i = 1; i < 8; ++i)
		EXPECT_FALSE(track_at(i)->play_active || track_at(i)->src_active);
}

// A call's audio binds to the track that holds the call, whichever call's
// audio starts first.
TEST_F(binding_test, audio_binds_to_its_own_call)
{
	// Learn where a call keeps its audio object: the library's accessor
	// tells it from a call whose every word is distinct.
	const size_t words = 65536 / sizeof(uintptr_t);
	auto probe = std::make_unique<uintptr_t[]>(words);
	for (size_t i = 0; i < words; ++i)
		probe[i] = i + 1;
	const uintptr_t got = reinterpret_cast<uintptr_t>(call_audio(reinterpret_cast<struct call *>(probe.get())));
	ASSERT_TRUE(got >= 1 && got <= words);
	const size_t slot = got - 1;

	put_call(1);
	put_call(2);
	// Audio objects of zeros: the receive path finds no stream in them.
	auto audio1 = std::make_unique<uint8_t[]>(65536), audio2 = std::make_unique<uint8_t[]>(65536);
	std::memset(audio1.get(), 0, 65536);
	std::memset(audio2.get(), 0, 65536);
	reinterpret_cast<uintptr_t *>(calls[1].get())[slot] = reinterpret_cast<uintptr_t>(audio1.get());
	reinterpret_cast<uintptr_t *>(calls[2].get())[slot] = reinterpret_cast<uintptr_t>(audio2.get());

	struct auplay_st *p2 = nullptr, *p1 = nullptr;
	struct ausrc_st *s2 = nullptr;
	ASSERT_EQ(0, play(&p2, audio2.get()));
	ASSERT_EQ(0, source(&s2, audio2.get()));
	ASSERT_EQ(0, play(&p1, audio1.get()));
	EXPECT_EQ(p2, track_at(2)->play);
	EXPECT_EQ(s2, track_at(2)->src);
	EXPECT_EQ(p1, track_at(1)->play);
	mem_deref(p1);
	mem_deref(p2);
	mem_deref(s2);
}

// The main thread binds and unbinds while another thread runs periods, as
// the input stream does (run under the thread sanitizer).
TEST_F(binding_test, binding_races_no_running_period)
{
	for (int i = 1; i < 8; ++i)
		put_call(i);
	std::atomic<bool> stop{false};
	std::atomic<unsigned> periods{0};
	std::thread audio([&] {
		std::vector<float> in = stereo(480, 0.1f, -0.1f);
		std::vector<float> out(960);
		while (!stop) {
			zvaudio_calls_pull(480, 0);
			input_callback(in.data(), nullptr, 480, nullptr, 0, nullptr);
			output_callback(nullptr, out.data(), 480, nullptr, 0, nullptr);
			zvaudio_calls_send(0);
			++periods;
			std::this_thread::yield();
		}
	});
	while (periods == 0)
		std::this_thread::yield();
	for (int round = 0; round < 50; ++round) {
		struct auplay_st *p[7] = {};
		struct ausrc_st *s[7] = {};
		for (int i = 0; i < 7; ++i) {
			ASSERT_EQ(0, play(&p[i]));
			ASSERT_EQ(0, source(&s[i]));
		}
		for (int i = 0; i < 7; ++i) {
			if (round & 1) {
				mem_deref(p[i]);
				mem_deref(s[i]);
			}
			else {
				mem_deref(s[i]);
				mem_deref(p[i]);
			}
		}
		zvaudio_set_mute(round & 2);
		zvaudio_set_monostream(round & 4);
	}
	stop = true;
	audio.join();
	EXPECT_GT(periods.load(), 0u);
	for (int i = 1; i < 8; ++i)
		EXPECT_FALSE(track_at(i)->play_active || track_at(i)->src_active);
}
