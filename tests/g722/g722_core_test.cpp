/*
 * The G.722 core's own rules: initialisation by rate and options, code
 * word widths and packing across calls, the 8 kHz option and edge counts.
 * Bit-exactness of the coding itself is checked against other coders in
 * g722_oracle_test.
 */
#include <gtest/gtest.h>

#include <sys/mman.h>
#include <unistd.h>

#include <cstring>
#include <vector>

#include "coder.h"
#include "g722_codec.h"
#include "signals.h"

namespace {

struct init_case {
	int rate;
	int options;
	int bits;
	int packed;
	int eight_k;
};

TEST(G722Core, InitSetsWidthAndFlagsFromRateAndOptions)
{
	const init_case cases[] = {
		{64000, 0, 8, 0, 0},
		{56000, 0, 7, 0, 0},
		{48000, 0, 6, 0, 0},
		{32000, 0, 8, 0, 0},
		{0, 0, 8, 0, 0},
		{-48000, 0, 8, 0, 0},
		{64000, G722_OPTION_PACKED, 8, 0, 0},
		{32000, G722_OPTION_PACKED, 8, 0, 0},
		{56000, G722_OPTION_PACKED, 7, 1, 0},
		{48000, G722_OPTION_PACKED, 6, 1, 0},
		{64000, G722_OPTION_8KHZ, 8, 0, 1},
		{56000, G722_OPTION_8KHZ | G722_OPTION_PACKED, 7, 1, 1},
		{48000, ~0, 6, 1, 1},
		{56000, ~(G722_OPTION_8KHZ | G722_OPTION_PACKED), 7, 0, 0},
	};

	for (const init_case &c : cases) {
		SCOPED_TRACE(testing::Message() << c.rate << " options " << c.options);

		/* init must clear whatever the memory held before */
		g722_encode_state enc;
		g722_decode_state dec;
		memset(&enc, 0xA5, sizeof(enc));
		memset(&dec, 0x5A, sizeof(dec));

		ASSERT_EQ(g722_encode_init(&enc, c.rate, c.options), &enc);
		ASSERT_EQ(g722_decode_init(&dec, c.rate, c.options), &dec);

		for (const g722_state *s : {static_cast<g722_state *>(&enc),
					    static_cast<g722_state *>(&dec)}) {
			g722_state expected{};
			expected.bits_per_sample = c.bits;
			expected.packed = c.packed;
			expected.eight_k = c.eight_k;
			expected.band[0].det = 32;
			expected.band[1].det = 8;
			EXPECT_EQ(memcmp(s, &expected, sizeof(expected)), 0);
		}
	}
}

TEST(G722Core, InitAllocatesWithoutState)
{
	g722_encode_state *enc = g722_encode_init(nullptr, 48000, G722_OPTION_PACKED);
	g722_decode_state *dec = g722_decode_init(nullptr, 56000, G722_OPTION_8KHZ);
	ASSERT_NE(enc, nullptr);
	ASSERT_NE(dec, nullptr);

	EXPECT_EQ(enc->bits_per_sample, 6);
	EXPECT_EQ(enc->packed, 1);
	EXPECT_EQ(dec->bits_per_sample, 7);
	EXPECT_EQ(dec->eight_k, 1);

	EXPECT_EQ(g722_encode_free(enc), 0);
	EXPECT_EQ(g722_decode_free(dec), 0);
}

TEST(G722Core, NonPositiveCountsCodeNothing)
{
	g722_encode_state enc;
	g722_decode_state dec;
	g722_encode_init(&enc, 64000, 0);
	g722_decode_init(&dec, 64000, 0);

	const int16_t samples[2] = {1000, -1000};
	const uint8_t octets[2] = {0x12, 0x34};
	uint8_t out_octets[4] = {0xEE, 0xEE, 0xEE, 0xEE};
	int16_t out_samples[4] = {7, 7, 7, 7};

	for (int count : {0, -1, -320}) {
		EXPECT_EQ(g722_encode(&enc, out_octets, samples, count), 0);
		EXPECT_EQ(g722_decode(&dec, out_samples, octets, count), 0);
	}
	EXPECT_EQ(out_octets[0], 0xEE);
	EXPECT_EQ(out_samples[0], 7);
}

TEST(G722Core, FramesCarryStateAcrossCalls)
{
	const std::vector<int16_t> in16 = joined_signals(16000);
	const std::vector<int16_t> in8 = joined_signals(8000);

	struct {
		int rate, options;
		const std::vector<int16_t> &in;
	} cases[] = {
		{64000, 0, in16},
		{48000, G722_OPTION_PACKED, in16},
		{56000, G722_OPTION_8KHZ | G722_OPTION_PACKED, in8},
	};

	for (const auto &c : cases) {
		SCOPED_TRACE(testing::Message() << c.rate << " options " << c.options);

		const std::vector<uint8_t> whole =
			ours_encode(c.rate, c.options, c.in, c.in.size());
		EXPECT_EQ(ours_encode(c.rate, c.options, c.in, 6), whole);
		EXPECT_EQ(ours_encode(c.rate, c.options, c.in, 320), whole);

		const std::vector<int16_t> decoded =
			ours_decode(c.rate, c.options, whole, whole.size());
		EXPECT_EQ(ours_decode(c.rate, c.options, whole, 1), decoded);
		EXPECT_EQ(ours_decode(c.rate, c.options, whole, 7), decoded);
	}
}

TEST(G722Core, PackedEncoderHoldsAtMostSevenBits)
{
	/* 56000 bit/s, 8 kHz, packed: 8 samples give 7 octets */
	g722_encode_state enc;
	g722_encode_init(&enc, 56000, G722_OPTION_8KHZ | G722_OPTION_PACKED);

	const std::vector<int16_t> in = joined_signals(8000);
	uint8_t out[64];
	ASSERT_EQ(g722_encode(&enc, out, in.data(), 8), 7);
	EXPECT_EQ(enc.out_bits, 0);

	size_t pos = 8;
	int held = 0;
	for (int len : {1, 2, 3, 5, 8, 13, 21, 34}) {
		const int n = g722_encode(&enc, out, in.data() + pos, len);
		EXPECT_EQ(n, (held + 7 * len) / 8);
		held = (held + 7 * len) % 8;
		EXPECT_EQ(enc.out_bits, held);
		EXPECT_LE(enc.out_bits, 7);
		pos += len;
	}
}

TEST(G722Core, PackedDecoderKeepsCompleteCodeWordForNextCall)
{
	/*
	 * 48000 bit/s packed, 6-bit code words. A call ends with the code word
	 * that consumed its last octet; a code word already whole in the
	 * accumulator opens the next call.
	 */
	const struct {
		int octets_per_call;
		int samples[6];
		int held_bits[6];
	} cases[] = {
		/* 3 octets hold 4 code words: 3 in the first call, then 4 */
		{3, {6, 8, 8, 8, 8, 8}, {6, 6, 6, 6, 6, 6}},
		{1, {2, 2, 2, 4, 2, 2}, {2, 4, 6, 2, 4, 6}},
		{2, {4, 6, 4, 6, 6, 4}, {4, 2, 6, 4, 2, 6}},
	};

	const std::vector<uint8_t> octets = random_octets(30, 11);
	std::vector<int16_t> out(64);

	for (const auto &c : cases) {
		SCOPED_TRACE(c.octets_per_call);
		g722_decode_state dec;
		g722_decode_init(&dec, 48000, G722_OPTION_PACKED);

		for (size_t call = 0; call < 6; call++) {
			SCOPED_TRACE(call);
			EXPECT_EQ(g722_decode(&dec, out.data(),
					      octets.data() + c.octets_per_call * call,
					      c.octets_per_call),
				  c.samples[call]);
			EXPECT_EQ(dec.in_bits, c.held_bits[call]);
		}
	}
}

TEST(G722Core, EightKhzCodeWordsCarryBothUpperBandBitsSet)
{
	const std::vector<int16_t> in = joined_signals(8000);

	const std::vector<uint8_t> coded = ours_encode(64000, G722_OPTION_8KHZ, in, 160);
	ASSERT_EQ(coded.size(), in.size());
	for (uint8_t code : coded)
		ASSERT_EQ(code & 0xC0, 0xC0);

	/* the decoder ignores the upper band: one sample per octet */
	const std::vector<int16_t> decoded = ours_decode(64000, G722_OPTION_8KHZ, coded, 160);
	EXPECT_EQ(decoded.size(), coded.size());

	std::vector<uint8_t> other_upper = coded;
	for (size_t i = 0; i < other_upper.size(); i++)
		other_upper[i] = static_cast<uint8_t>((other_upper[i] & 0x3F) | (i % 4) << 6);
	EXPECT_EQ(ours_decode(64000, G722_OPTION_8KHZ, other_upper, 160), decoded);
}

TEST(G722Core, NarrowCodeWordsLeaveTopBitsOfUnpackedOctetsClear)
{
	const std::vector<int16_t> in = joined_signals(16000);

	for (int bits : {7, 6}) {
		SCOPED_TRACE(bits);
		const int rate = bits == 7 ? 56000 : 48000;
		const uint8_t unused = static_cast<uint8_t>(0xFF << bits);

		const std::vector<uint8_t> coded = ours_encode(rate, 0, in, 320);
		ASSERT_EQ(coded.size(), in.size() / 2);
		for (uint8_t code : coded)
			ASSERT_EQ(code & unused, 0);

		/* the decoder ignores those bits */
		std::vector<uint8_t> marked = coded;
		for (uint8_t &code : marked)
			code |= unused;
		EXPECT_EQ(ours_decode(rate, 0, marked, 160), ours_decode(rate, 0, coded, 160));
	}
}

TEST(G722Core, OddSampleCountCodesLastSampleWithoutReadingPastIt)
{
	/* place the samples right before an inaccessible page */
	const size_t page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
	void *mem = mmap(nullptr, 2 * page, PROT_READ | PROT_WRITE,
			 MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	ASSERT_NE(mem, MAP_FAILED);
	auto *guard = static_cast<uint8_t *>(mem) + page;
	ASSERT_EQ(mprotect(guard, page, PROT_NONE), 0);

	const std::vector<int16_t> in = joined_signals(16000);
	const int count = 321;
	auto *samples = reinterpret_cast<int16_t *>(guard) - count;
	memcpy(samples, in.data(), count * sizeof(int16_t));

	g722_encode_state enc;
	g722_encode_init(&enc, 64000, 0);
	std::vector<uint8_t> out(200);
	EXPECT_EQ(g722_encode(&enc, out.data(), samples, count), 161);
	out.resize(161);

	/* the last sample is coded as a pair with a silent partner */
	std::vector<int16_t> padded(in.begin(), in.begin() + count);
	padded.push_back(0);
	EXPECT_EQ(out, ours_encode(64000, 0, padded, padded.size()));

	munmap(mem, 2 * page);
}

}  // namespace
