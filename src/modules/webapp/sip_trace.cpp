#include "sip_trace.h"

namespace {

// The library's logger formats every message into 4096 bytes and drops a
// longer one whole, so a long SIP message goes out in pieces of whole lines
// where it can, each piece with room left for the first line.
constexpr size_t piece_max = 3800;

size_t piece_length(const uint8_t *p, size_t left)
{
	if (left <= piece_max)
		return left;
	for (size_t n = piece_max; n > 0; --n) {
		if (p[n - 1] == '\n')
			return n;
	}
	return piece_max;
}

}

void webapp_sip_trace(bool tx, enum sip_transp tp, const struct sa *src, const struct sa *dst,
		      const uint8_t *pkt, size_t len, void *)
{
	const size_t shown = len > WEBAPP_SIP_TRACE_MAX ? WEBAPP_SIP_TRACE_MAX : len;
	const char *mark = len > WEBAPP_SIP_TRACE_MAX ? "\n[truncated]" : "";

	size_t n = piece_length(pkt, shown);
	info("sip-trace: %s %s %J -> %J (%zu bytes)\n%b%s%s", tx ? "TX" : "RX", sip_transp_name(tp),
	     src, dst, len, pkt, n, n == shown ? mark : "", n == shown ? "\n" : "");
	for (size_t off = n; off < shown; off += n) {
		n = piece_length(pkt + off, shown - off);
		const bool last = off + n == shown;
		info("%b%s%s", pkt + off, n, last ? mark : "", last ? "\n" : "");
	}
}
