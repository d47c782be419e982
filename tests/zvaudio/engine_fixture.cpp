#include "engine_fixture.h"

#include <cstring>

namespace {

void peer_play(struct auframe *af, void *arg)
{
	auto *p = static_cast<fake_peer *>(arg);
	auto *v = static_cast<int16_t *>(af->sampv);
	for (size_t k = 0; k + 1 < af->sampc; k += 2) {
		v[k] = p->left;
		v[k + 1] = p->right;
	}
	++p->plays;
}

void peer_receive(struct auframe *af, void *arg)
{
	auto *p = static_cast<fake_peer *>(arg);
	auto *v = static_cast<int16_t *>(af->sampv);
	p->sent.assign(v, v + af->sampc);
	p->timestamps.push_back(af->timestamp);
}

}

std::vector<float> stereo(size_t frames, float l, float r)
{
	std::vector<float> v(2 * frames);
	for (size_t f = 0; f < frames; ++f) {
		v[2 * f] = l;
		v[2 * f + 1] = r;
	}
	return v;
}

void engine_test::SetUp()
{
	fakes.reset();
	ASSERT_EQ(0, zvaudio_tracks_init());
	zva.mix_buf = static_cast<int16_t *>(mem_zalloc(ZV_PERIOD_VALUES * 2, nullptr));
	zva.silence_buf = static_cast<int16_t *>(mem_zalloc(ZV_PERIOD_VALUES * 2, nullptr));
	zva.stream = zvaudio_stream_state_alloc();
	ASSERT_TRUE(zva.stream);
	configure(2, 48000, 2, 48000);
	// The tests run the output in step with the input, as JACK does.
	zva.stream.load()->jack = true;
	zva.warmup_periods = ZV_WARMUP_PERIODS;
	zva.monitoring = true;
	zva.monostream = false;
	zva.monorecord = false;
	zva.mute = false;
	zva.first_input_channel = 0;
	zva.total_frames = 0;
	zva.in_or = zva.out_ur = zva.ring_or = zva.ring_ur = 0;
}

void engine_test::TearDown()
{
	for (int i = 0; i < 8; ++i)
		unbind(i);
	zva.stream = static_cast<zvaudio_stream_state *>(mem_deref(zva.stream));
	zvaudio_tracks_close();
	zva.mix_buf = static_cast<int16_t *>(mem_deref(zva.mix_buf));
	zva.silence_buf = static_cast<int16_t *>(mem_deref(zva.silence_buf));
}

struct track *engine_test::track_at(int index)
{
	struct le *le = zva.track_list.head;
	for (int i = 0; i < index && le; ++i)
		le = le->next;
	return le ? static_cast<struct track *>(le->data) : nullptr;
}

void engine_test::bind(int index, bool with_source)
{
	struct track *t = track_at(index);
	// A zeroed call has no audio object: binding goes by list order.
	calls[index] = std::make_unique<uint8_t[]>(65536);
	std::memset(calls[index].get(), 0, 65536);
	t->call = reinterpret_cast<struct call *>(calls[index].get());

	struct auplay_prm pprm = {48000, 2, 20, AUFMT_S16LE};
	ASSERT_EQ(0, zvaudio_play_alloc(&players[index], nullptr, &pprm, "default", peer_play, &peers[index]));
	if (with_source) {
		struct ausrc_prm sprm = {48000, 2, 20, AUFMT_S16LE};
		ASSERT_EQ(0, zvaudio_src_alloc(&sources[index], nullptr, nullptr, &sprm, "default", peer_receive,
					       nullptr, &peers[index]));
	}
}

void engine_test::unbind(int index)
{
	players[index] = static_cast<struct auplay_st *>(mem_deref(players[index]));
	sources[index] = static_cast<struct ausrc_st *>(mem_deref(sources[index]));
	if (struct track *t = track_at(index))
		t->call = nullptr;
}

void engine_test::configure(int in_channels, double in_rate, int out_channels, double out_rate)
{
	zva.stream.load()->in_channels = in_channels;
	zva.stream.load()->in_rate = in_rate;
	zva.stream.load()->out_channels = out_channels;
	zva.stream.load()->out_rate = out_rate;
	ASSERT_TRUE(zvaudio_out_follower_init(zva.stream));
}

void engine_test::period(const std::vector<float> &input, int in_channels)
{
	period(input.empty() ? nullptr : input.data(), uint32_t(input.size() / size_t(in_channels)));
}

void engine_test::period(const float *input, uint32_t frames, PaStreamCallbackFlags status)
{
	// What the calls' thread does around a period: the calls' audio pulled
	// ahead for it (the thread is woken only by periods that reach the
	// calls, not by those of the warm-up), and its frames handed to the
	// calls after it.
	const double rate = zva.stream.load()->in_rate;
	if (zva.warmup_periods >= ZV_WARMUP_PERIODS)
		zvaudio_calls_pull(rate == 48000 ? frames : uint32_t(frames * 48000 / rate) + 4, clock_ns);
	clock_ns += int64_t(double(frames) * 1e9 / rate);
	input_callback(input, nullptr, frames, nullptr, status, nullptr);
	zvaudio_calls_send(0);
}

std::vector<float> engine_test::play_output(unsigned long frames)
{
	std::vector<float> out(frames * size_t(zva.stream.load()->out_channels), -1.0f);
	output_callback(nullptr, out.data(), frames, nullptr, 0, nullptr);
	return out;
}
