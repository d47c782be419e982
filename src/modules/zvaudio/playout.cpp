// The calls' thread's side of a call's received audio. Packets wait in the
// store, ordered by sequence number, until their turn; the turn of each
// comes when the frames before it have been handed on. The time a packet
// could have waited, had it come by the fastest path, is the headroom: the
// playout keeps it at the target, a little above the delays that nearly all
// packets see, by taking out or saying twice a pitch period of the audio.
// A packet that has not come by its turn is concealed while later ones are
// there (it is lost, or late enough to count as lost); with nothing there
// the playout waits, concealing, and the packet it waited for makes the
// headroom larger when it comes.
#include "receive.h"
#include "time_stretch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr double FRAMES_PER_MS = 48.0;
constexpr int64_t NS_PER_MS = 1000000;
// The target covers the delays of this fraction of the packets, and a little
// more for the receiving machine's own moments of delay; never less than a
// little above the configured minimum, never so close to the configured
// maximum that a packet has no room above it.
constexpr double QUANTILE = 0.97;
constexpr double MARGIN_MS = 10.0;
constexpr double FLOOR_ABOVE_MIN_MS = 12.0;
constexpr double CEILING_BELOW_MAX_MS = 20.0;
// Headroom this far above the target is taken out by shortening, and this
// far below it put in by lengthening, down (or up) to AIM_MS from it; the
// clock follower keeps what lies between. Each packet's audio changes by a
// quarter at most, so that a voice or a tune hurries or lingers a little
// while the buffer returns, rather than jumping.
constexpr double SHORTEN_ABOVE_MS = 12.0;
constexpr double LENGTHEN_BELOW_MS = 5.0;
constexpr double AIM_MS = 4.0;
constexpr size_t STRETCH_SHARE = 4;
// Concealment: at full level for a packet's length, then fading out; the
// codec's own concealment is asked no more after this long.
constexpr size_t CONCEAL_FULL = 960;
constexpr size_t CONCEAL_FADE = 1920;
constexpr size_t CONCEAL_LIMIT = 5760;
constexpr size_t MERGE = 96; // 2 ms from concealment into audio
// A sequence number this far from the last is a far end that started over.
constexpr int64_t SEQ_JUMP = 3000;
constexpr int64_t EXTEND_BASE = int64_t(1) << 40;

int64_t media_ns(const struct playout *p, int64_t ts)
{
	const int64_t d = ts - p->base_ts;
	return d / p->crate * 1000000000 + d % p->crate * 1000000000 / p->crate;
}

size_t ts_frames(const struct playout *p, int64_t ts_units)
{
	return ts_units > 0 ? size_t(ts_units * 48000 / p->crate) : 0;
}

// --- the store

struct playout_packet *head(struct playout *p)
{
	return p->stored ? &p->store[p->order[0]] : nullptr;
}

struct playout_packet *newest(struct playout *p)
{
	return p->stored ? &p->store[p->order[p->stored - 1]] : nullptr;
}

void pop(struct playout *p)
{
	p->free_slots[p->free_count++] = p->order[0];
	std::memmove(p->order, p->order + 1, --p->stored);
}

void store_clear(struct playout *p)
{
	p->stored = 0;
	p->free_count = RX_STORE_PACKETS;
	for (size_t i = 0; i < RX_STORE_PACKETS; ++i)
		p->free_slots[i] = uint8_t(i);
}

bool stored(const struct playout *p, int64_t seq)
{
	for (size_t i = 0; i < p->stored; ++i) {
		if (p->store[p->order[i]].seq == seq)
			return true;
	}
	return false;
}

// --- the turns

// Marks the turns passed: n more, the last of them played or concealed.
void pass_turns(struct playout *p, int64_t n, bool played, bool concealed)
{
	p->seen_bits = n >= 64 ? 0 : p->seen_bits << n;
	p->concealed_bits = n >= 64 ? 0 : p->concealed_bits << n;
	p->seen_bits |= played ? 1 : 0;
	p->concealed_bits |= concealed ? 1 : 0;
	p->next_seq += n;
}

bool turn_bit(uint64_t bits, const struct playout *p, int64_t seq)
{
	const int64_t k = p->next_seq - 1 - seq;
	return k >= 0 && k < 64 && (bits >> k & 1);
}

// --- decoded audio waiting to be handed on

int16_t *fifo_room(struct playout *p, size_t frames)
{
	if (p->fifo_at + p->fifo_frames + frames + STRETCH_MAX_LAG > RX_FIFO_FRAMES) {
		std::memmove(p->fifo, p->fifo + 2 * p->fifo_at,
			     2 * p->fifo_frames * sizeof(int16_t));
		p->fifo_at = 0;
	}
	return p->fifo + 2 * (p->fifo_at + p->fifo_frames);
}

void fifo_append(struct playout *p, const int16_t *v, size_t frames)
{
	frames = std::min(frames, RX_FIFO_FRAMES - STRETCH_MAX_LAG - p->fifo_frames);
	int16_t *at = fifo_room(p, frames);
	if (v)
		std::memcpy(at, v, 2 * frames * sizeof(int16_t));
	else
		std::memset(at, 0, 2 * frames * sizeof(int16_t));
	p->fifo_frames += frames;
}

// --- targets

void update_target(struct playout *p)
{
	const double floor = p->min_ms + FLOOR_ABOVE_MIN_MS;
	const double ceiling = std::max(floor, p->max_ms - CEILING_BELOW_MAX_MS);
	p->target_ms =
		std::clamp(arrival_quantile_ms(&p->arrival, QUANTILE) + MARGIN_MS, floor, ceiling);
}

// How long the packet could have waited for its turn, now, had it come by
// the fastest path; the frames ahead of it are still to be handed on.
double headroom_ms(const struct playout *p, int64_t ts)
{
	const int64_t due = p->now_ns + int64_t(double(p->fifo_frames) / FRAMES_PER_MS * NS_PER_MS);
	return double(due - arrival_earliest_ns(&p->arrival, media_ns(p, ts))) / NS_PER_MS;
}

// The audio waiting to be played, in ms, the follower's frames left out.
double waiting_ms(struct playout *p)
{
	double ms = double(p->fifo_frames) / FRAMES_PER_MS;
	if (const struct playout_packet *n = newest(p)) {
		// While waiting for a packet, what has come since is what waits;
		// a missing packet between others is waiting audio, concealed.
		const int64_t from = p->playing && !p->starving ? p->next_ts : head(p)->ts;
		ms += double(ts_frames(p, n->ts + p->duration - from)) / FRAMES_PER_MS;
	}
	return ms;
}

// --- a new stream

void start_stream(struct playout *p, const struct rx_packet *in, uint32_t crate)
{
	if (p->streaming) {
		++p->figures.flush;
		p->expected_before += uint64_t(p->max_seq - p->base_seq + 1);
	}
	store_clear(p);
	p->streaming = true;
	p->playing = false;
	p->starving = false;
	p->crate = crate;
	p->base_seq = EXTEND_BASE + in->seq;
	p->max_seq = p->base_seq - 1;
	p->base_ts = p->last_ts = EXTEND_BASE + in->ts;
	p->duration = crate / 50;
	p->seen_bits = p->concealed_bits = 0;
	arrival_reset(&p->arrival);
}

int64_t extend_seq(const struct playout *p, uint16_t seq)
{
	return p->max_seq + int16_t(uint16_t(seq - uint16_t(p->max_seq)));
}

int64_t extend_ts(const struct playout *p, uint32_t ts)
{
	return p->last_ts + int32_t(uint32_t(ts - uint32_t(p->last_ts)));
}

// For want of room the oldest packet goes, and with it its turn.
void drop_oldest(struct playout *p)
{
	const struct playout_packet *h = head(p);
	const int64_t seq = h->seq, ts = h->ts;
	pop(p);
	++p->figures.overflow;
	if (p->playing && seq >= p->next_seq) {
		pass_turns(p, seq + 1 - p->next_seq, false, false);
		p->next_ts = ts + p->duration;
	}
}

void take(struct call_receive *r, const struct rx_packet *in)
{
	struct playout *p = &r->play;
	if (in->generation != p->generation ||
	    in->decoder >= r->decoder_count.load(std::memory_order_acquire))
		return;
	const uint32_t crate = r->decoders[in->decoder].ac->crate;
	if (in->new_source || !p->streaming || crate != p->crate)
		start_stream(p, in, crate);
	int64_t seq = extend_seq(p, in->seq);
	if (std::llabs(seq - p->max_seq) > SEQ_JUMP) {
		start_stream(p, in, crate);
		seq = extend_seq(p, in->seq);
	}
	const int64_t ts = extend_ts(p, in->ts);

	const bool passed = p->playing && seq < p->next_seq;
	if ((passed && turn_bit(p->seen_bits, p, seq)) || stored(p, seq)) {
		++p->figures.dups;
		return;
	}
	++p->received;
	if (seq > p->max_seq) {
		p->max_seq = seq;
		p->last_ts = ts;
	}
	else {
		++p->figures.oos;
	}
	// Late: its turn has passed, or the playout is waiting for it.
	const bool awaited = p->playing && p->starving && seq == p->next_seq;
	arrival_add(&p->arrival, in->arrival_ns, media_ns(p, ts), passed || awaited);
	update_target(p);
	if (passed) {
		++p->figures.late;
		if (turn_bit(p->concealed_bits, p, seq))
			++p->figures.late_lost;
		return;
	}

	if (!p->free_count)
		drop_oldest(p);
	const uint8_t slot = p->free_slots[--p->free_count];
	struct playout_packet &s = p->store[slot];
	s.seq = seq;
	s.ts = ts;
	s.arrival_ns = in->arrival_ns;
	s.len = in->len;
	s.decoder = in->decoder;
	std::memcpy(s.payload, in->payload, in->len);
	size_t at = p->stored;
	while (at && p->store[p->order[at - 1]].seq > seq)
		--at;
	std::memmove(p->order + at + 1, p->order + at, p->stored - at);
	p->order[at] = slot;
	++p->stored;
}

// More than the configured maximum waiting: the oldest packets go.
void trim(struct playout *p)
{
	while (p->playing && p->stored && waiting_ms(p) > p->max_ms)
		drop_oldest(p);
}

// --- concealment

// The last audio continued by its pitch period, fading out; 0 before any.
size_t own_conceal(struct playout *p, int16_t *out, size_t frames)
{
	if (p->last_frames < 2 * STRETCH_MIN_LAG)
		return 0;
	if (!p->conceal_phase) {
		const size_t span = std::min(p->last_frames, 2 * STRETCH_MAX_LAG);
		p->conceal_lag = stretch_pitch(p->last + 2 * (p->last_frames - span), span,
					       STRETCH_MIN_LAG, span / 2);
	}
	const size_t lag = p->conceal_lag;
	const int16_t *period = p->last + 2 * (p->last_frames - lag);
	for (size_t k = 0; k < frames; ++k) {
		const size_t phase = p->conceal_phase + k;
		float g = 1;
		if (phase >= CONCEAL_FULL + CONCEAL_FADE)
			g = 0;
		else if (phase > CONCEAL_FULL)
			g = 1 - float(phase - CONCEAL_FULL) / CONCEAL_FADE;
		const int16_t *v = period + 2 * (phase % lag);
		out[2 * k] = int16_t(std::lrint(float(v[0]) * g));
		out[2 * k + 1] = int16_t(std::lrint(float(v[1]) * g));
	}
	return frames;
}

// One packet's length made up: by the codec where it can, else from the
// last audio; silence once it has gone on for long.
void conceal(struct call_receive *r, const struct playout_packet *next)
{
	struct playout *p = &r->play;
	const size_t frames = std::clamp<size_t>(ts_frames(p, p->duration), 120, RX_DECODE_FRAMES);
	size_t n = 0;
	if (p->conceal_phase < CONCEAL_LIMIT) {
		struct rx_decoder *d = &r->decoders[p->decoder];
		n = rx_conceal(d, next ? next->payload : nullptr, next ? next->len : 0, p->block,
			       p->scratch);
		if (!n)
			n = own_conceal(p, p->block, frames);
	}
	if (n) {
		fifo_append(p, p->block, n);
	}
	else {
		n = frames;
		fifo_append(p, nullptr, n);
	}
	p->conceal_phase += n;
	p->figures.concealed_ms += uint32_t(n / 48);
}

// After concealment of its own, the audio fades in from its continuation.
void merge(struct playout *p, int16_t *block, size_t frames)
{
	int16_t from[2 * MERGE];
	const size_t n = std::min(frames, MERGE);
	if (!own_conceal(p, from, n))
		return;
	for (size_t k = 0; k < n; ++k) {
		const float w = float(k + 1) / float(n + 1);
		for (size_t c = 0; c < 2; ++c)
			block[2 * k + c] = int16_t(std::lrint(float(from[2 * k + c]) * (1 - w) +
							      float(block[2 * k + c]) * w));
	}
}

// --- stretching toward the target

void stretch(struct playout *p, size_t block)
{
	const double error = p->headroom_ms - p->target_ms;
	double want_ms;
	if (error > SHORTEN_ABOVE_MS)
		want_ms = error - AIM_MS;
	else if (error < -LENGTHEN_BELOW_MS)
		want_ms = error + AIM_MS;
	else
		return;
	const size_t want = size_t(std::fabs(want_ms) * FRAMES_PER_MS);
	const size_t max_lag =
		std::min({STRETCH_MAX_LAG, want, p->fifo_frames / 2, block / STRETCH_SHARE});
	if (max_lag < STRETCH_MIN_LAG)
		return;
	int16_t *x = fifo_room(p, max_lag) - 2 * p->fifo_frames;
	const size_t lag = stretch_pitch(x, p->fifo_frames, STRETCH_MIN_LAG, max_lag);
	if (want_ms > 0) {
		stretch_shorten(x, p->fifo_frames, lag);
		p->fifo_frames -= lag;
		p->stretched -= int64_t(lag);
	}
	else {
		stretch_lengthen(x, p->fifo_frames, lag);
		p->fifo_frames += lag;
		p->stretched += int64_t(lag);
	}
}

// --- the next packet's audio

bool start_playing(struct playout *p)
{
	const struct playout_packet *h = head(p);
	if (!h || headroom_ms(p, h->ts) < p->target_ms)
		return false;
	p->playing = true;
	p->starving = false;
	p->next_seq = h->seq;
	p->next_ts = h->ts;
	p->decoder = h->decoder;
	p->seen_bits = p->concealed_bits = 0;
	return true;
}

void decode(struct call_receive *r, struct playout_packet *h)
{
	struct playout *p = &r->play;
	struct rx_decoder *d = &r->decoders[h->decoder];
	const bool own_concealed = p->conceal_phase && !(d->ac->plch && h->decoder == p->decoder);
	p->headroom_ms = headroom_ms(p, h->ts);
	const size_t n = rx_decode(d, h->payload, h->len, p->block, p->scratch);
	p->decoder = h->decoder;
	if (!n) {
		conceal(r, nullptr);
	}
	else {
		if (own_concealed)
			merge(p, p->block, n);
		fifo_append(p, p->block, n);
		std::memcpy(p->last, p->block, 2 * n * sizeof(int16_t));
		p->last_frames = n;
		p->conceal_phase = 0;
		p->duration = int64_t(n) * p->crate / 48000;
	}
	p->next_ts = h->ts + p->duration;
	pass_turns(p, 1, n != 0, n == 0);
	pop(p);
	p->starving = false;
	p->waited = 0;
	stretch(p, n);
}

void next_block(struct call_receive *r, size_t missing)
{
	struct playout *p = &r->play;
	if (!p->playing && !start_playing(p)) {
		fifo_append(p, nullptr, missing);
		return;
	}
	struct playout_packet *h = head(p);
	if (!h) {
		p->starving = true;
		const size_t before = p->fifo_frames;
		conceal(r, nullptr);
		p->waited += p->fifo_frames - before;
		return;
	}
	if (h->seq == p->next_seq && h->ts > p->next_ts) {
		// The far end sent nothing for a while: silence until its packet.
		const size_t gap = ts_frames(p, h->ts - p->next_ts);
		if (double(gap) / FRAMES_PER_MS > p->max_ms) {
			p->playing = false;
			return;
		}
		fifo_append(p, nullptr, gap);
		p->next_ts = h->ts;
		return;
	}
	if (h->seq == p->next_seq) {
		if (headroom_ms(p, h->ts) - p->target_ms > p->max_ms) {
			// Waited far longer than a buffer holds (the far end stopped
			// sending): its timing starts over from this packet. A packet
			// that has itself waited that long since it came (no period
			// took it) is let go.
			arrival_reset(&p->arrival);
			arrival_add(&p->arrival, h->arrival_ns, media_ns(p, h->ts), false);
			p->playing = false;
			if (headroom_ms(p, h->ts) - p->target_ms > p->max_ms)
				drop_oldest(p);
			return;
		}
		decode(r, h);
		return;
	}
	if (p->starving) {
		// What came shows the turns waited for were lost: the concealment
		// while waiting stands for as many of them as it lasted.
		const size_t turn = std::max<size_t>(ts_frames(p, p->duration), 1);
		const int64_t covered =
			std::min<int64_t>(int64_t(p->waited / turn), h->seq - p->next_seq);
		pass_turns(p, covered, false, true);
		p->next_ts += covered * p->duration;
		p->waited = 0;
		p->starving = false;
		return;
	}
	if (double(ts_frames(p, h->ts - p->next_ts)) / FRAMES_PER_MS > p->max_ms) {
		// Far more missing than a buffer holds: on from what there is.
		pass_turns(p, h->seq - p->next_seq, false, false);
		p->next_ts = h->ts;
		return;
	}
	// A packet missing between others: its turn is concealed.
	conceal(r, h);
	pass_turns(p, 1, false, true);
	p->next_ts += p->duration;
}

}

void playout_restart(struct call_receive *r, uint32_t generation, double min_ms, double max_ms)
{
	struct playout *p = &r->play;
	p->generation = generation;
	p->streaming = p->playing = p->starving = false;
	p->waited = 0;
	store_clear(p);
	p->fifo_at = p->fifo_frames = 0;
	p->last_frames = 0;
	p->conceal_phase = 0;
	p->min_ms = min_ms;
	p->max_ms = max_ms;
	p->received = p->expected_before = 0;
	p->max_seq = p->base_seq = 0;
	p->figures = zvaudio_receive_figures{};
	p->stretched = 0;
	arrival_reset(&p->arrival);
	update_target(p);
	p->headroom_ms = p->target_ms;
}

void playout_begin_pull(struct call_receive *r, int64_t now_ns)
{
	struct playout *p = &r->play;
	p->now_ns = now_ns;
	struct rx_packet in;
	while (r->queue.read(&in, 1))
		take(r, &in);
	trim(p);
}

void playout_write(struct auframe *af, void *arg)
{
	auto *r = static_cast<struct call_receive *>(arg);
	struct playout *p = &r->play;
	const size_t frames = af->sampc / 2;
	while (p->fifo_frames < frames)
		next_block(r, frames - p->fifo_frames);
	std::memcpy(af->sampv, p->fifo + 2 * p->fifo_at, 2 * frames * sizeof(int16_t));
	p->fifo_at += frames;
	p->fifo_frames -= frames;
}

void playout_end_pull(struct call_receive *r, size_t ahead_frames)
{
	struct playout *p = &r->play;
	struct zvaudio_receive_figures &f = p->figures;
	f.buffer_ms = uint32_t(std::lrint(waiting_ms(p) + double(ahead_frames) / FRAMES_PER_MS));
	f.delay_ms = uint32_t(std::lrint(std::max(p->headroom_ms, 0.0)));
	f.jitter_ms = uint32_t(std::lrint(arrival_quantile_ms(&p->arrival, QUANTILE)));
	f.skew_ppm = arrival_skew_ppm(&p->arrival);
	f.packets = uint32_t(p->stored);
	f.received = uint32_t(p->received);
	const uint64_t expected =
		p->expected_before + (p->streaming ? uint64_t(p->max_seq - p->base_seq + 1) : 0);
	f.lost = expected > p->received ? uint32_t(expected - p->received) : 0;
	r->figures.store(f);
}
