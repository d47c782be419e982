#include "stream_stats.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace {

// Finds name (e.g. " put=") at or after *pos and reads the decimal number
// behind it; *pos moves past the number.
bool number_after(const char **pos, const char *name, uint32_t *v)
{
	const char *p = strstr(*pos, name);
	if (!p)
		return false;
	p += strlen(name);
	char *end = nullptr;
	const unsigned long n = strtoul(p, &end, 10);
	if (end == p)
		return false;
	*v = static_cast<uint32_t>(n);
	*pos = end;
	return true;
}

int debug_print(struct re_printf *pf, void *arg)
{
	return stream_debug(pf, static_cast<const struct stream *>(arg));
}

}

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

void zv_stream_rate_sample(struct zv_stream_rate *r, const struct stream *strm,
			   uint32_t rx_bytes, uint32_t tx_bytes, uint64_t now)
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

int zv_jbuf_stat_parse(const char *text, struct zv_jbuf_stat *st)
{
	if (!text || !st)
		return EINVAL;
	const char *p = strstr(text, "--- jitter buffer debug---");
	if (!p)
		return ENOENT;

	zv_jbuf_stat s{};
	uint32_t get = 0, underflow = 0;
	const bool ok = number_after(&p, " cur=", &s.packets) &&
			number_after(&p, " Stat: put=", &s.put) && number_after(&p, " get=", &get) &&
			number_after(&p, " oos=", &s.oos) && number_after(&p, " dup=", &s.dups) &&
			number_after(&p, " late=", &s.late) && number_after(&p, " or=", &s.overflow) &&
			number_after(&p, " ur=", &underflow) &&
			number_after(&p, " flush=", &s.flush) && number_after(&p, " lost=", &s.lost);
	if (!ok)
		return ENOENT;
	*st = s;
	return 0;
}

int zv_stream_jbuf_stats(const struct stream *strm, struct zv_jbuf_stat *st)
{
	if (!strm || !st)
		return EINVAL;
	char *text = nullptr;
	int err = re_sdprintf(&text, "%H", debug_print, const_cast<struct stream *>(strm));
	if (err)
		return err;
	err = zv_jbuf_stat_parse(text, st);
	mem_deref(text);
	return err;
}
