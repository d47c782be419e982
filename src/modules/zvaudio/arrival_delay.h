// How late the far end's packets come. Each packet's delay is measured
// against the fastest packet of the last seconds: the time it arrived less
// the time of its first sample on the far end's clock, above the least such
// difference in the window. The delays go into a histogram that forgets
// slowly, so that a spell of late packets lifts its high quantile within a
// fraction of a second while a calmer network lowers it over tens of
// seconds. Each packet weighs by the time since the one before it, up to
// one packet's length: the histogram tells for how much of the time the
// delay was that high, and a heap of packets after a single hiccup of the
// network, or of this machine, weighs as one. The same minima, one a
// second, give the far clock's rate against ours.
#pragma once

#include <cstddef>
#include <cstdint>

constexpr size_t ARRIVAL_BINS = 512;     // 1 ms each; the last takes everything later
constexpr size_t ARRIVAL_BLOCKS = 32;    // seconds of minima kept
constexpr size_t ARRIVAL_WINDOW = 5;     // seconds whose minimum is the fastest packet's
constexpr double ARRIVAL_FORGET = 0.997; // per packet's length: a memory of about 330 of them

struct arrival_delay {
	float histogram[ARRIVAL_BINS];
	double mass; // the histogram's sum, 1 once full
	// The least difference of each second, oldest first; the last is the
	// second now running.
	int64_t block_second[ARRIVAL_BLOCKS];
	int64_t block_min[ARRIVAL_BLOCKS];
	size_t blocks;
	int64_t fastest;      // least difference of the window, ns
	int64_t last_arrival; // of the packet before, ns
	int64_t last_media;
	int64_t interval; // the packets' spacing on the far clock, ns
	bool started;
};

void arrival_reset(struct arrival_delay *a);

// One packet: when it arrived and where its first sample lies on the far
// end's clock, both in ns. Returns its delay against the fastest, ns. A
// late packet (it missed its turn) weighs more: being late is what the
// buffer must learn from.
int64_t arrival_add(struct arrival_delay *a, int64_t arrival_ns, int64_t media_ns, bool late);

// The delay in ms below which the fraction q of the packets came.
double arrival_quantile_ms(const struct arrival_delay *a, double q);

// The far clock's rate against ours, in parts per million: positive when
// it runs fast. 0 until 8 seconds have been measured.
int32_t arrival_skew_ppm(const struct arrival_delay *a);

// When a packet whose first sample lies at media_ns would have arrived by
// the fastest path; only once a packet has been added.
int64_t arrival_earliest_ns(const struct arrival_delay *a, int64_t media_ns);
