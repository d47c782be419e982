/*
 * Bit-exactness of our G.722 coder against two independent coders: the
 * ffmpeg program (64 kbit/s, 16 kHz) and the spandsp library (every rate
 * and option). spandsp's decoder lets the receive QMF wrap around at full
 * scale where ours saturates, so against it only that difference is
 * allowed.
 */
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <ostream>
#include <string>
#include <vector>

#include "coder.h"
#include "ffmpeg_ref.h"
#include "g722_codec.h"
#include "signals.h"
#include "spandsp_ref.h"

namespace {

/* 20 ms of 16 kHz audio, the frames of a call */
constexpr size_t frame_samples = 320;
constexpr size_t frame_octets = 160;

/*
 * Compares decoded streams that may differ only where ours saturated a
 * sum that the other coder wrapped around; returns the number of such
 * samples.
 */
size_t wrap_differences(const std::vector<int16_t> &ours,
			const std::vector<int16_t> &theirs)
{
	EXPECT_EQ(ours.size(), theirs.size());

	size_t wraps = 0;
	for (size_t i = 0; i < std::min(ours.size(), theirs.size()); i++) {
		if (ours[i] == theirs[i])
			continue;

		const bool wrapped = (ours[i] == INT16_MAX && theirs[i] < 0) ||
				     (ours[i] == INT16_MIN && theirs[i] >= 0);
		EXPECT_TRUE(wrapped) << "sample " << i << ": ours " << ours[i]
				     << ", theirs " << theirs[i];
		if (!wrapped)
			break;
		wraps++;
	}
	return wraps;
}

TEST(G722Oracle, Encoder64kMatchesSpandspAndFfmpegOctetForOctet)
{
	for (const test_signal &sig : test_signals(16000)) {
		SCOPED_TRACE(sig.name);

		const std::vector<uint8_t> ours =
			ours_encode(64000, 0, sig.samples, frame_samples);

		ASSERT_EQ(ours.size(), sig.samples.size() / 2);
		EXPECT_EQ(ours, spandsp_ref::encode(64000, 0, sig.samples, frame_samples));
		EXPECT_EQ(ours, ffmpeg_ref::encode(sig.samples));
	}
}

TEST(G722Oracle, Decoder64kMatchesFfmpegSampleForSample)
{
	std::vector<std::pair<std::string, std::vector<uint8_t>>> streams;
	for (const test_signal &sig : test_signals(16000))
		streams.emplace_back(sig.name, ffmpeg_ref::encode(sig.samples));
	streams.emplace_back("random code words", random_octets(16000, 7));

	for (const auto &[name, octets] : streams) {
		SCOPED_TRACE(name);

		const std::vector<int16_t> ours =
			ours_decode(64000, 0, octets, frame_octets);

		ASSERT_EQ(ours.size(), 2 * octets.size());
		EXPECT_EQ(ours, ffmpeg_ref::decode(octets));
	}
}

TEST(G722Oracle, Decoder64kSaturatesFullScaleWhereSpandspWraps)
{
	const std::vector<int16_t> square = test_signals(16000).back().samples;
	const std::vector<uint8_t> octets = ours_encode(64000, 0, square, frame_samples);

	const std::vector<int16_t> ours = ours_decode(64000, 0, octets, frame_octets);
	const std::vector<int16_t> theirs =
		spandsp_ref::decode(64000, 0, octets, frame_octets);

	/* the square wave drives the receive QMF beyond 16 bits */
	EXPECT_GT(wrap_differences(ours, theirs), 0u);
	EXPECT_EQ(ours, ffmpeg_ref::decode(octets));
}

struct mode {
	const char *name;
	int rate;
	int options;
	size_t encode_chunk;  /* samples per call */
	size_t decode_chunk;  /* octets per call */
};

void PrintTo(const mode &m, std::ostream *os)
{
	*os << m.name;
}

class G722OracleMode : public testing::TestWithParam<mode> {};

/*
 * Odd call sizes in the packed modes leave bits over between calls, so
 * the comparison also covers the bit accumulators across calls.
 */
const mode modes[] = {
	{"r56000", 56000, 0, frame_samples, frame_octets},
	{"r48000", 48000, 0, frame_samples, frame_octets},
	{"r64000_packed_ignored", 64000, G722_OPTION_PACKED, 14, 5},
	{"r56000_packed", 56000, G722_OPTION_PACKED, 14, 5},
	{"r48000_packed", 48000, G722_OPTION_PACKED, 14, 3},
	{"r64000_8khz", 64000, G722_OPTION_8KHZ, 160, 160},
	{"r56000_8khz", 56000, G722_OPTION_8KHZ, 160, 160},
	{"r48000_8khz", 48000, G722_OPTION_8KHZ, 160, 160},
	{"r56000_8khz_packed", 56000, G722_OPTION_8KHZ | G722_OPTION_PACKED, 9, 7},
	{"r48000_8khz_packed", 48000, G722_OPTION_8KHZ | G722_OPTION_PACKED, 7, 5},
};

INSTANTIATE_TEST_SUITE_P(Modes, G722OracleMode, testing::ValuesIn(modes),
			 [](const auto &info) { return std::string(info.param.name); });

TEST_P(G722OracleMode, EncoderMatchesSpandsp)
{
	const mode &m = GetParam();
	const int srate = (m.options & G722_OPTION_8KHZ) ? 8000 : 16000;

	for (const test_signal &sig : test_signals(srate)) {
		SCOPED_TRACE(sig.name);

		const std::vector<uint8_t> ours =
			ours_encode(m.rate, m.options, sig.samples, m.encode_chunk);

		EXPECT_FALSE(ours.empty());
		EXPECT_EQ(ours, spandsp_ref::encode(m.rate, m.options, sig.samples,
						    m.encode_chunk));
	}
}

TEST_P(G722OracleMode, DecoderMatchesSpandspUpToSaturation)
{
	const mode &m = GetParam();
	const int srate = (m.options & G722_OPTION_8KHZ) ? 8000 : 16000;

	const std::vector<uint8_t> coded = spandsp_ref::encode(
		m.rate, m.options, joined_signals(srate), m.encode_chunk);

	for (const std::vector<uint8_t> &octets : {coded, random_octets(8000, 3)}) {
		const std::vector<int16_t> ours =
			ours_decode(m.rate, m.options, octets, m.decode_chunk);

		EXPECT_FALSE(ours.empty());
		wrap_differences(ours, spandsp_ref::decode(m.rate, m.options, octets,
							   m.decode_chunk));
	}
}

}  // namespace
