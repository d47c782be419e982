// The library's adaptive jitter buffer fed RTP timestamps that a far end
// (or anyone who can reach the call's port) chooses: far apart, jumping
// back, one from another stream. The buffer still gives every frame in
// order, and its statistics never overflow (the sanitizer build fails on
// a signed overflow).
#include <cstddef>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>
#include <re.h>

namespace {

struct timestamps_case {
	const char *name;
	uint32_t (*ts)(uint32_t i);
};

// A steady stream of 20 ms Opus frames (960 ticks of the 48 kHz clock).
uint32_t steady(uint32_t i)
{
	return 1000 + 960 * i;
}

const timestamps_case cases[] = {
	{"a steady stream", steady},
	{"a quarter of the clock apart", [](uint32_t i) { return i * 0x40000000u; }},
	{"just under half of the clock apart", [](uint32_t i) { return i * 0x7fffff00u; }},
	{"back by half the clock every other frame",
	 [](uint32_t i) { return steady(i) + (i % 2) * 0x80000000u; }},
	{"one frame from another stream",
	 [](uint32_t i) { return i == 7 ? steady(i) + 0x80000000u : steady(i); }},
	{"the largest timestamp, then the smallest",
	 [](uint32_t i) { return i % 2 ? 0xffffffffu : 1u; }},
	{"any timestamps", [](uint32_t i) { return 0x9e3779b9u * (i + 1) ^ (i << 23); }},
};

TEST(JitterBuffer, ChosenTimestampsKeepEveryFrameInOrder)
{
	constexpr uint32_t frames = 200;
	for (const timestamps_case &c : cases) {
		SCOPED_TRACE(c.name);
		struct jbuf *jb = nullptr;
		ASSERT_EQ(0, jbuf_alloc(&jb, 1, 15));
		ASSERT_EQ(0, jbuf_set_type(jb, JBUF_ADAPTIVE));
		ASSERT_EQ(0, jbuf_set_wish(jb, 2));

		std::vector<uint16_t> got;
		auto take = [&] {
			struct rtp_header hdr = {};
			void *mem = nullptr;
			int err;
			do {
				err = jbuf_get(jb, &hdr, &mem);
				if (err == 0 || err == EAGAIN) {
					got.push_back(hdr.seq);
					mem_deref(mem);
				}
			} while (err == EAGAIN);
		};
		for (uint32_t i = 0; i < frames; ++i) {
			struct rtp_header hdr = {};
			hdr.seq = static_cast<uint16_t>(1 + i);
			hdr.ts = c.ts(i);
			void *mem = mem_zalloc(4, nullptr);
			ASSERT_NE(nullptr, mem);
			EXPECT_EQ(0, jbuf_put(jb, &hdr, mem));
			mem_deref(mem);
			take();
		}

		// One frame taken for each frame put once the buffer has
		// started, the rest still in it.
		ASSERT_GE(got.size(), frames - 15);
		for (size_t k = 1; k < got.size(); ++k)
			EXPECT_EQ(got[k - 1] + 1, got[k]) << "frame " << k;
		mem_deref(jb);
	}
}

}
