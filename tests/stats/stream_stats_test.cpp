// The stream figures that the SIP library keeps without giving them out:
// the bitrate windows and the jitter buffer counters read back from the
// library's own debug text.
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

int debug_print(struct re_printf *pf, void *arg)
{
	return jbuf_debug(pf, static_cast<const struct jbuf *>(arg));
}

// Puts a frame with sequence number seq into the buffer.
int put(struct jbuf *jb, uint16_t seq)
{
	struct rtp_header hdr{};
	hdr.ssrc = 1234;
	hdr.seq = seq;
	hdr.ts = seq * 960u;
	void *mem = mem_zalloc(8, nullptr);
	int err = jbuf_put(jb, &hdr, mem);
	mem_deref(mem);
	return err;
}

TEST(JbufStat, ReadFromTheLibrarysDebugTextEqualsItsRecord)
{
	struct jbuf *jb = nullptr;
	ASSERT_EQ(jbuf_alloc(&jb, 1, 4), 0);
	for (uint16_t seq : {1, 2, 3, 3, 5, 4, 6, 7, 8, 9, 10, 11})
		(void)put(jb, seq);
	for (int i = 0; i < 3; ++i) {
		struct rtp_header hdr;
		void *mem = nullptr;
		(void)jbuf_get(jb, &hdr, &mem);
		mem_deref(mem);
	}
	(void)put(jb, 2); // too late now

	struct jbuf_stat want{};
	ASSERT_EQ(jbuf_stats(jb, &want), 0);
	ASSERT_GT(want.n_put, 0u);
	ASSERT_GT(want.n_dups + want.n_oos + want.n_late + want.n_overflow, 0u);

	// The stream's debug text has other sections before the buffer's.
	char *text = nullptr;
	ASSERT_EQ(re_sdprintf(&text, " audio dir=sendrecv pt_enc=9\nRTP debug:\n cur=99 put=98\n%H",
			      debug_print, jb),
		  0);

	zv_jbuf_stat got{};
	ASSERT_EQ(zv_jbuf_stat_parse(text, &got), 0) << text;
	EXPECT_EQ(got.put, want.n_put);
	EXPECT_EQ(got.lost, want.n_lost);
	EXPECT_EQ(got.late, want.n_late);
	EXPECT_EQ(got.oos, want.n_oos);
	EXPECT_EQ(got.dups, want.n_dups);
	EXPECT_EQ(got.overflow, want.n_overflow);
	EXPECT_EQ(got.flush, want.n_flush);
	EXPECT_LE(got.packets, 4u);
	EXPECT_NE(got.packets, 99u);

	mem_deref(text);
	mem_deref(jb);
}

TEST(JbufStat, NoBufferNoFigures)
{
	zv_jbuf_stat st{};
	EXPECT_EQ(zv_jbuf_stat_parse(" audio dir=sendrecv\nRTP debug:\n Encode: seq=1\n", &st),
		  ENOENT);
	EXPECT_EQ(zv_jbuf_stat_parse("--- jitter buffer debug---\n running=0 min=1 cur=0 max=4",
				     &st),
		  ENOENT);
	EXPECT_EQ(zv_stream_jbuf_stats(nullptr, &st), EINVAL);
	EXPECT_EQ(zv_stream_rtcp_stats(nullptr), nullptr);
}

}
