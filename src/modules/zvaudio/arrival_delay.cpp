#include "arrival_delay.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

constexpr int64_t NS = 1000000000;
constexpr float LATE_WEIGHT = 3;
constexpr size_t SKEW_BLOCKS = 8;

}

void arrival_reset(struct arrival_delay *a)
{
	std::memset(a, 0, sizeof(*a));
}

int64_t arrival_add(struct arrival_delay *a, int64_t arrival_ns, int64_t media_ns, bool late)
{
	const int64_t diff = arrival_ns - media_ns;
	const int64_t second = arrival_ns / NS;
	float weight = 1;
	if (a->started) {
		if (media_ns > a->last_media)
			a->interval = media_ns - a->last_media;
		if (a->interval > 0)
			weight = float(std::clamp(double(arrival_ns - a->last_arrival) /
							  double(a->interval),
						  0.0, 1.0));
	}
	a->last_arrival = arrival_ns;
	a->last_media = std::max(a->last_media, media_ns);
	if (!a->started) {
		a->started = true;
		a->last_media = media_ns;
		a->blocks = 1;
		a->block_second[0] = second;
		a->block_min[0] = diff;
	}
	else if (second > a->block_second[a->blocks - 1]) {
		if (a->blocks == ARRIVAL_BLOCKS) {
			std::memmove(a->block_second, a->block_second + 1,
				     (ARRIVAL_BLOCKS - 1) * sizeof(int64_t));
			std::memmove(a->block_min, a->block_min + 1,
				     (ARRIVAL_BLOCKS - 1) * sizeof(int64_t));
			--a->blocks;
		}
		a->block_second[a->blocks] = second;
		a->block_min[a->blocks] = diff;
		++a->blocks;
	}
	int64_t &now_min = a->block_min[a->blocks - 1];
	now_min = std::min(now_min, diff);

	a->fastest = now_min;
	for (size_t b = 0; b + 1 < a->blocks; ++b) {
		if (a->block_second[b] + int64_t(ARRIVAL_WINDOW) > second)
			a->fastest = std::min(a->fastest, a->block_min[b]);
	}

	const int64_t delay = diff - a->fastest;
	const size_t bin = std::min<int64_t>(delay / 1000000, int64_t(ARRIVAL_BINS - 1));
	if (weight <= 0)
		return delay;
	// The older delays fade by the time this packet stands for.
	const double keep = std::pow(ARRIVAL_FORGET, double(weight));
	for (float &h : a->histogram)
		h *= float(keep);
	a->histogram[bin] += float((1 - keep) * (late ? LATE_WEIGHT : 1));
	a->mass = a->mass * keep + (1 - keep) * (late ? LATE_WEIGHT : 1);
	return delay;
}

double arrival_quantile_ms(const struct arrival_delay *a, double q)
{
	if (a->mass <= 0)
		return 0;
	const double want = q * a->mass;
	double sum = 0;
	for (size_t b = 0; b < ARRIVAL_BINS; ++b) {
		sum += a->histogram[b];
		if (sum >= want)
			return double(b + 1);
	}
	return double(ARRIVAL_BINS);
}

int32_t arrival_skew_ppm(const struct arrival_delay *a)
{
	// The seconds already complete; the running one may still fall.
	const size_t n = a->blocks ? a->blocks - 1 : 0;
	if (n < SKEW_BLOCKS || a->block_second[n - 1] - a->block_second[0] < int64_t(SKEW_BLOCKS))
		return 0;
	// A busy machine only ever adds to a second's least delay, for seconds
	// on end: the least of each half of the seconds is the one it left
	// alone, and the clocks' drift is the line through those two.
	const auto least = [a](size_t from, size_t to) {
		size_t at = from;
		for (size_t b = from + 1; b < to; ++b)
			if (a->block_min[b] < a->block_min[at])
				at = b;
		return at;
	};
	const size_t first = least(0, n / 2), second = least(n / 2, n);
	const int64_t seconds = a->block_second[second] - a->block_second[first];
	if (seconds <= 0)
		return 0;
	// ns gained a second, from a far clock whose samples come ever sooner
	// (fast) or later (slow) than ours expects.
	const double slope = double(a->block_min[second] - a->block_min[first]) / double(seconds);
	return int32_t(std::lrint(-slope / 1000.0));
}

int64_t arrival_earliest_ns(const struct arrival_delay *a, int64_t media_ns)
{
	return media_ns + a->fastest;
}
