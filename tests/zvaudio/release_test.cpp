// The stream state's release while the stream callbacks may still run.
#include "engine_fixture.h"

#include <atomic>
#include <thread>

// The main thread releases the stream state and makes a new one, over and
// over, while another thread runs the two callbacks back to back, as the
// streams of a device that died under them may still do (run under the
// thread sanitizer).
TEST_F(engine_test, stream_release_races_no_callback)
{
	std::atomic<bool> stop{false};
	std::atomic<unsigned> periods{0};
	std::thread audio([&] {
		std::vector<float> in = stereo(480, 0.1f, -0.1f);
		std::vector<float> out(960);
		while (!stop) {
			input_callback(in.data(), nullptr, 480, nullptr, 0, nullptr);
			output_callback(nullptr, out.data(), 480, nullptr, 0, nullptr);
			++periods;
		}
	});
	bool made = true;
	for (int round = 0; round < 200 && made; ++round) {
		const unsigned seen = periods;
		while (periods == seen)
			std::this_thread::yield();
		zvaudio_stream_release();
		EXPECT_EQ(nullptr, zva.stream.load());
		zvaudio_stream_state *st = zvaudio_stream_state_alloc();
		made = st != nullptr;
		if (!made)
			break;
		st->jack = true;
		st->in_channels = st->out_channels = 2;
		st->in_rate = st->out_rate = 48000;
		zva.stream = st;
	}
	stop = true;
	audio.join();
	EXPECT_TRUE(made);
	EXPECT_GT(periods.load(), 200u);
}
