// A call's received audio, from the network to the calls' thread. The main
// loop hands each RTP packet of the call to the receive tap first: packets
// that do not come from the far end are refused, and the far end's audio
// packets are copied, with the time they arrived, into a queue that the
// calls' thread alone empties. There the playout orders them, decodes each
// when its turn comes (or conceals it when it has not come), and keeps the
// audio waiting no longer than the network's delays ask for, lengthening or
// shortening it by whole pitch periods to get there. No buffer and no
// reference-counted object of the SIP library passes between the threads.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "arrival_delay.h"
#include "published.h"
#include "ring.h"
#include "sipstack.h"
#include "zvaudio.h"

constexpr size_t RX_PAYLOAD_MAX = 1460;  // an Ethernet frame's RTP payload
constexpr size_t RX_QUEUE_PACKETS = 128; // 2.5 s of 20 ms packets
constexpr size_t RX_STORE_PACKETS = 64;
constexpr size_t RX_DECODERS = 8;
constexpr size_t RX_DECODE_FRAMES = 5760; // the longest packet, 120 ms at 48 kHz
constexpr size_t RX_FIFO_FRAMES = 32768;  // decoded audio not yet handed on

// A packet as the main loop queues it.
struct rx_packet {
	int64_t arrival_ns;  // CLOCK_MONOTONIC
	uint32_t generation; // the player binding it belongs to
	uint32_t ts;
	uint16_t seq;
	uint8_t decoder; // index in the receive's decoders
	bool new_source; // the first of a source newly taken as the far end
	uint16_t len;
	uint8_t payload[RX_PAYLOAD_MAX];
};

// One decoder of the call, for one payload type: made by the main loop when
// the type first arrives, used by the calls' thread alone, freed by the main
// loop once that thread can no longer reach it. It gives 48 kHz stereo.
struct rx_decoder {
	uint8_t pt;
	const struct aucodec *ac;
	struct audec_state *dec;
	struct auresamp resampler;
	bool opus; // payloads are checked before the decoder sees them
};

// The far end as the tap knows it: the address and synchronisation source
// whose packets are taken, and one that may replace it.
struct rx_source {
	struct sa addr;
	uint32_t ssrc;
	int64_t last_ns; // its last packet
	bool set;
};

struct rx_candidate {
	struct sa addr;
	uint32_t ssrc;
	uint16_t next_seq;
	unsigned run; // packets in sequence so far
};

// The main loop's counts of packets it did not queue.
struct rx_refused {
	uint32_t foreign; // not from the far end
	uint32_t unknown; // of a payload type the call has no decoder for
	uint32_t oversized;
	uint32_t queue_full;
};

struct playout_packet {
	int64_t seq; // extended
	int64_t ts;  // extended
	int64_t arrival_ns;
	uint16_t len;
	uint8_t decoder;
	uint8_t payload[RX_PAYLOAD_MAX];
};

// The calls' thread's part.
struct playout {
	struct playout_packet *store;
	uint8_t order[RX_STORE_PACKETS]; // store slots by sequence number
	uint8_t free_slots[RX_STORE_PACKETS];
	size_t stored, free_count;

	int16_t *fifo; // decoded frames at fifo_at ... fifo_at + fifo_frames
	size_t fifo_at, fifo_frames;
	int16_t *block;   // a packet's audio as it is decoded
	int16_t *scratch; // the codec's own rate and channels
	int16_t *last;    // the last decoded audio, for concealment
	size_t last_frames;
	size_t conceal_phase; // frames concealed since the last decoded audio
	size_t conceal_lag;

	uint32_t generation;
	bool streaming;            // a source is known
	bool playing;              // its timeline runs
	bool starving;             // the next packet has not come yet
	size_t waited;             // frames concealed while waiting for it
	int64_t next_seq, next_ts; // the packet whose turn is next
	int64_t max_seq, base_seq;
	int64_t last_ts; // the newest packet's, to extend timestamps
	int64_t base_ts;
	int64_t duration; // of the last packet, timestamp units
	uint32_t crate;
	uint8_t decoder;          // of the last packet decoded
	uint64_t concealed_bits;  // turns before next_seq that were concealed
	uint64_t seen_bits;       // turns before next_seq that were played
	uint64_t received;        // packets of the binding, each once
	uint64_t expected_before; // packets expected of its earlier streams

	struct arrival_delay arrival;
	double target_ms;
	double headroom_ms;    // how long the packet last decoded could have waited
	int64_t stretched;     // frames put in (taken out when negative) since the last pull
	int64_t now_ns;        // the pull under way
	double min_ms, max_ms; // the configured buffer

	struct zvaudio_receive_figures figures;
};

struct call_receive {
	// The main loop's part.
	struct stream *strm; // while a call's player is bound
	uint32_t generation;
	struct rx_source source;
	struct rx_candidate candidate;
	bool new_source;
	struct rx_refused refused;
	struct rx_refused logged; // as last logged
	struct zvaudio_receive_figures logged_figures;
	int64_t logged_ns;

	spsc_ring queue;
	struct rx_decoder decoders[RX_DECODERS];
	std::atomic<size_t> decoder_count{0};

	struct playout play;
	// The playout's figures as of the last pull, for the main loop.
	published<struct zvaudio_receive_figures> figures;
};

// The record over buffers of receive_buffer_bytes() that its call path
// holds for it.
size_t receive_buffer_bytes();
struct call_receive *receive_alloc(uint8_t *buffers);
void receive_free(struct call_receive *r);

// Main loop, a call's player binding (generation counts the bindings) and
// its end; the end runs after the calls' thread has let go of the player.
void receive_bind(struct call_receive *r, struct audio *au, uint32_t generation);
void receive_unbind(struct call_receive *r);
// The SIP library's tap of the call's stream.
enum stream_rtp_verdict receive_tap(const struct sa *src, const struct sa *raddr,
				    const struct rtp_header *hdr, struct mbuf *mb, void *arg);
// A line in the log when packets were refused, came late or were lost since
// the last one; at most one every few seconds. figures: the playout's, as
// published.
void receive_log(struct call_receive *r, const char *track,
		 const struct zvaudio_receive_figures *figures, int64_t now_ns);

// Decoders: the index for a payload type of the stream's, made when new;
// -1 when it is no audio codec of the call or there is no room left.
// *ignored is set for a type the call does not play (telephone events).
int rx_decoder_find(struct call_receive *r, uint8_t pt, bool *ignored);
void rx_decoders_clear(struct call_receive *r);
// Calls' thread: one packet's audio into out (48 kHz stereo, room for
// RX_DECODE_FRAMES); returns the frames, 0 when it cannot be decoded.
size_t rx_decode(struct rx_decoder *d, const uint8_t *payload, size_t len, int16_t *out,
		 int16_t *scratch);
// Calls' thread: the codec's concealment of a lost packet, with the next
// packet for its redundancy when there is one; 0 when the codec has none.
size_t rx_conceal(struct rx_decoder *d, const uint8_t *next, size_t next_len, int16_t *out,
		  int16_t *scratch);

// Calls' thread, engine_lock held. A new binding starts the playout afresh.
void playout_restart(struct call_receive *r, uint32_t generation, double min_ms, double max_ms);
// The player's write handler: the call's next frames (af->sampc values) at
// the pull under way, whose time the calls' thread sets first.
void playout_write(struct auframe *af, void *arg);
// Before the pull: what has arrived, at the pull's time (CLOCK_MONOTONIC).
void playout_begin_pull(struct call_receive *r, int64_t now_ns);
// After the pull: the figures for the page, with the frames that the clock
// follower holds ahead.
void playout_end_pull(struct call_receive *r, size_t ahead_frames);
