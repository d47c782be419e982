// The main loop's side of a call's received audio: which packets come from
// the far end, and their copies into the calls' thread's queue.
#include "receive.h"

#include <cstring>
#include <ctime>

namespace {

// A source replaces the far end's only after this many packets in sequence
// from it, and only once the far end has been quiet for a while: a stray
// datagram, or a stranger's stream beside the far end's, is never taken.
// A far end known to sit where the call's address says needs fewer. A
// stream that is the far end's by its address or its SSRC (a new SSRC, a
// NAT that moved it) takes over after a moment's quiet; a stranger's only
// after a second, since a busy machine, the far end's or ours, can hold
// the far end's packets back for a tenth of a second and more.
constexpr unsigned RUN_AT_ADDRESS = 2;
constexpr unsigned RUN_ELSEWHERE = 4;
constexpr int64_t QUIET_NS = 60000000;
constexpr int64_t QUIET_FOR_STRANGER_NS = 1000000000;

int64_t monotonic_ns()
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

bool same_address(const struct sa *a, const struct sa *b)
{
	return sa_isset(a, SA_ALL) && sa_isset(b, SA_ALL) && sa_cmp(a, b, SA_ALL);
}

// Whether the packet is the far end's. The first packets from the address
// that the call sends to are; a source elsewhere (the far end behind a NAT,
// or one that moved) is latched onto after a run of packets in sequence.
bool from_far_end(struct call_receive *r, const struct sa *src, const struct sa *raddr,
		  const struct rtp_header *hdr, int64_t now)
{
	struct rx_source &s = r->source;
	if (s.set && s.ssrc == hdr->ssrc && same_address(&s.addr, src)) {
		s.last_ns = now;
		return true;
	}

	struct rx_candidate &c = r->candidate;
	if (c.run && c.ssrc == hdr->ssrc && hdr->seq == c.next_seq && same_address(&c.addr, src)) {
		++c.run;
	}
	else {
		sa_cpy(&c.addr, src);
		c.ssrc = hdr->ssrc;
		c.run = 1;
	}
	c.next_seq = uint16_t(hdr->seq + 1);

	const bool at_address = same_address(src, raddr) || (s.set && same_address(src, &s.addr));
	const unsigned needed = at_address ? RUN_AT_ADDRESS : RUN_ELSEWHERE;
	const int64_t quiet =
		at_address || (s.set && hdr->ssrc == s.ssrc) ? QUIET_NS : QUIET_FOR_STRANGER_NS;
	const bool first = !s.set && (same_address(src, raddr) || !sa_isset(raddr, SA_ALL));
	if (!first && (c.run < needed || (s.set && now - s.last_ns < quiet)))
		return false;

	sa_cpy(&s.addr, src);
	s.ssrc = hdr->ssrc;
	s.last_ns = now;
	s.set = true;
	c.run = 0;
	r->new_source = true;
	return true;
}

}

enum stream_rtp_verdict receive_tap(const struct sa *src, const struct sa *raddr,
				    const struct rtp_header *hdr, struct mbuf *mb, void *arg)
{
	auto *r = static_cast<struct call_receive *>(arg);
	const int64_t now = monotonic_ns();
	if (!from_far_end(r, src, raddr, hdr, now)) {
		++r->refused.foreign;
		return STREAM_RTP_REFUSED;
	}
	// Nothing to play, or the call is not receiving: the stream's own rules.
	if (!mbuf_get_left(mb) || !(sdp_media_ldir(stream_sdpmedia(r->strm)) & SDP_RECVONLY))
		return STREAM_RTP_PASS;

	bool ignored;
	const int decoder = rx_decoder_find(r, hdr->pt, &ignored);
	if (ignored)
		return STREAM_RTP_TAKEN;
	if (decoder < 0) {
		++r->refused.unknown;
		return STREAM_RTP_TAKEN;
	}
	const size_t len = mbuf_get_left(mb);
	if (len > RX_PAYLOAD_MAX) {
		++r->refused.oversized;
		return STREAM_RTP_TAKEN;
	}
	if (!r->queue.write_available()) {
		++r->refused.queue_full;
		return STREAM_RTP_TAKEN;
	}

	struct rx_packet p;
	p.arrival_ns = now;
	p.generation = r->generation;
	p.ts = hdr->ts;
	p.seq = hdr->seq;
	p.decoder = uint8_t(decoder);
	p.new_source = r->new_source;
	p.len = uint16_t(len);
	std::memcpy(p.payload, mbuf_buf(mb), len);
	r->queue.write(&p, 1);
	r->new_source = false;
	return STREAM_RTP_TAKEN;
}

void receive_bind(struct call_receive *r, struct audio *au, uint32_t generation)
{
	r->strm = audio_strm(au);
	r->generation = generation;
	r->source = rx_source{};
	r->candidate = rx_candidate{};
	r->new_source = false;
	r->refused = r->logged = rx_refused{};
	r->logged_figures = zvaudio_receive_figures{};
	r->logged_ns = monotonic_ns();
	if (r->strm)
		stream_set_rtp_tap(r->strm, receive_tap, r);
}

void receive_unbind(struct call_receive *r)
{
	if (!r->strm)
		return;
	stream_set_rtp_tap(r->strm, nullptr, nullptr);
	r->strm = nullptr;
	rx_decoders_clear(r);
}
