// Figures of a media stream that this library version keeps without giving
// them out as figures.
//
// RTCP: the stream's statistics record always exists; it is all zeros until
// the first report of the far end arrives.
//
// Bitrates: the stream counts its bytes, and its own bitrate figure is
// internal. The bitrate is measured here the way the library measures it:
// from the byte counters, over windows of at least 3 s.

#pragma once

#include "sipstack.h"

// The stream's RTCP figures; NULL when strm is NULL or no report has come
// in yet.
const struct rtcp_stats *zv_stream_rtcp_stats(const struct stream *strm);

// Bitrate measurement of one stream. Zero-initialise it; a measurement
// follows one stream at a time and starts afresh when given another one.
struct zv_stream_rate {
	const struct stream *strm;
	uint64_t since;    // start of the current window, ms of tmr_jiffies
	uint32_t rx_bytes; // the counters at its start
	uint32_t tx_bytes;
	uint32_t rx_bitrate; // bit/s of the last whole window; 0 before it
	uint32_t tx_bitrate;
};

// Shortest window, ms.
constexpr uint64_t ZV_STREAM_RATE_WINDOW = 3000;

// Takes the stream's byte counters at now (ms). A new stream, or counters
// that went down, start a new measurement with both bitrates 0.
void zv_stream_rate_update(struct zv_stream_rate *r, const struct stream *strm, uint64_t now);

// The same with the counters given.
void zv_stream_rate_sample(struct zv_stream_rate *r, const struct stream *strm, uint32_t rx_bytes,
			   uint32_t tx_bytes, uint64_t now);
