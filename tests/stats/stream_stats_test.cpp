// The stream figures that the SIP library keeps without giving them out:
// the bitrate windows and the RTCP record before the first report.
#include <gtest/gtest.h>

#include <cerrno>

#include "stream_stats.h"

namespace {

const auto *stream_a = reinterpret_cast<const struct stream *>(0x1000);
const auto *stream_b = reinterpret_cast<const struct stream *>(0x2000);

TEST(StreamRate, FiguresOnlyAfterAWholeWindowThenPerWindow)
{
	zv_stream_rate r{};
	zv_stream_rate_sample(&r, stream_a, 100, 50, 10000);
	EXPECT_EQ(r.rx_bitrate, 0u);

	// 2999 ms: not yet a window.
	zv_stream_rate_sample(&r, stream_a, 24100, 1000, 12999);
	EXPECT_EQ(r.rx_bitrate, 0u);
	EXPECT_EQ(r.tx_bitrate, 0u);

	// 3000 ms with 24000 bytes more: 64 kbit/s; 3000 bytes more: 8 kbit/s.
	zv_stream_rate_sample(&r, stream_a, 24100, 3050, 13000);
	EXPECT_EQ(r.rx_bitrate, 64000u);
	EXPECT_EQ(r.tx_bitrate, 8000u);

	// The next window starts where the last ended and keeps the figure
	// until it is whole.
	zv_stream_rate_sample(&r, stream_a, 30000, 3050, 14000);
	EXPECT_EQ(r.rx_bitrate, 64000u);
	zv_stream_rate_sample(&r, stream_a, 24100 + 12000, 3050, 16250);
	EXPECT_EQ(r.rx_bitrate, 8000ull * 12000 / 3250);
	EXPECT_EQ(r.tx_bitrate, 0u);
}

TEST(StreamRate, AnotherStreamOrFallingCountersStartAfresh)
{
	zv_stream_rate r{};
	zv_stream_rate_sample(&r, stream_a, 0, 0, 0);
	zv_stream_rate_sample(&r, stream_a, 30000, 30000, 3000);
	ASSERT_EQ(r.rx_bitrate, 80000u);

	zv_stream_rate_sample(&r, stream_b, 40000, 40000, 3250);
	EXPECT_EQ(r.rx_bitrate, 0u);
	EXPECT_EQ(r.strm, stream_b);
	zv_stream_rate_sample(&r, stream_b, 41000, 41000, 6250);
	EXPECT_EQ(r.rx_bitrate, 8000ull * 1000 / 3000);

	// A new stream at the old address counts from zero again.
	zv_stream_rate_sample(&r, stream_b, 10, 41000, 6500);
	EXPECT_EQ(r.rx_bitrate, 0u);
	EXPECT_EQ(r.rx_bytes, 10u);
}

TEST(StreamRate, BigCountsDoNotWrap)
{
	zv_stream_rate r{};
	zv_stream_rate_sample(&r, stream_a, 0, 0, 0);
	zv_stream_rate_sample(&r, stream_a, 4000000000u, 0, 3000);
	EXPECT_EQ(r.rx_bitrate, static_cast<uint32_t>(8000ull * 4000000000u / 3000));
}

TEST(StreamRtcp, NoStreamNoFigures)
{
	EXPECT_EQ(zv_stream_rtcp_stats(nullptr), nullptr);
}

}
