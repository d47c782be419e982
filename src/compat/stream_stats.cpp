#include "stream_stats.h"

const struct rtcp_stats *zv_stream_rtcp_stats(const struct stream *strm)
{
	const struct rtcp_stats *st = stream_rtcp_stats(strm);
	if (!st)
		return nullptr;
	if (!st->tx.sent && !st->rx.sent && !st->rtt && !st->tx.lost && !st->rx.lost &&
	    !st->tx.jit && !st->rx.jit)
		return nullptr;
	return st;
}

void zv_stream_rate_sample(struct zv_stream_rate *r, const struct stream *strm, uint32_t rx_bytes,
			   uint32_t tx_bytes, uint64_t now)
{
	if (!r)
		return;
	if (r->strm != strm || rx_bytes < r->rx_bytes || tx_bytes < r->tx_bytes || now < r->since) {
		*r = zv_stream_rate{strm, now, rx_bytes, tx_bytes, 0, 0};
		return;
	}
	const uint64_t ms = now - r->since;
	if (ms < ZV_STREAM_RATE_WINDOW)
		return;
	r->rx_bitrate = static_cast<uint32_t>(8000ull * (rx_bytes - r->rx_bytes) / ms);
	r->tx_bitrate = static_cast<uint32_t>(8000ull * (tx_bytes - r->tx_bytes) / ms);
	r->since = now;
	r->rx_bytes = rx_bytes;
	r->tx_bytes = tx_bytes;
}

void zv_stream_rate_update(struct zv_stream_rate *r, const struct stream *strm, uint64_t now)
{
	zv_stream_rate_sample(r, strm, stream_metric_get_rx_n_bytes(strm),
			      stream_metric_get_tx_n_bytes(strm), now);
}
