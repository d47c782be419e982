#include "time_stretch.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The search runs on the two channels' sum at a quarter of the rate, then
// once more at the full rate around the best lag found there.
constexpr size_t DECIMATION = 4;
constexpr size_t COARSE_VALUES = 2 * STRETCH_MAX_LAG / DECIMATION;
constexpr size_t REFINE = DECIMATION;
// Below this sum of squares per frame (both channels, -60 dBFS) the audio
// is near silence, and any lag joins it without a sound.
constexpr double QUIET_ENERGY = 2.0 * 32.767 * 32.767;

[[gnu::always_inline]] inline float frame_sum(const int16_t *x, size_t f)
{
	return float(x[2 * f]) + float(x[2 * f + 1]);
}

// How alike the period of lag frames at the start is to the one after it,
// from -1 to 1, on the frames' sums at the full rate.
double likeness(const int16_t *x, size_t lag)
{
	double cross = 0, first = 0, second = 0;
	for (size_t f = 0; f < lag; ++f) {
		const double a = frame_sum(x, f), b = frame_sum(x, f + lag);
		cross += a * b;
		first += a * a;
		second += b * b;
	}
	const double norm = std::sqrt(first * second);
	return norm > 0 ? cross / norm : 0;
}

// Raised-cosine weight of the second of two overlapping periods at frame
// n of lag: rises from near 0 to near 1, and the two weights sum to 1.
[[gnu::always_inline]] inline float rising(size_t n, size_t lag)
{
	return float(0.5 - 0.5 * std::cos(M_PI * (double(n) + 0.5) / double(lag)));
}

[[gnu::always_inline]] inline int16_t blend(int16_t a, int16_t b, float w)
{
	return int16_t(std::lrint(float(a) + w * (float(b) - float(a))));
}

}

size_t stretch_pitch(const int16_t *x, size_t frames, size_t min_lag, size_t max_lag)
{
	max_lag = std::min({max_lag, STRETCH_MAX_LAG, frames / 2});
	min_lag = std::min(std::max(min_lag, size_t(1)), max_lag);

	double energy = 0;
	for (size_t f = 0; f < 2 * max_lag; ++f) {
		const double l = x[2 * f], r = x[2 * f + 1];
		energy += l * l + r * r;
	}
	if (energy < QUIET_ENERGY * double(2 * max_lag))
		return max_lag;

	// The coarse search, with the squares summed ahead so that each lag's
	// energies come from two look-ups.
	float y[COARSE_VALUES];
	double squares[COARSE_VALUES + 1];
	const size_t values = 2 * max_lag / DECIMATION;
	squares[0] = 0;
	for (size_t k = 0; k < values; ++k) {
		float s = 0;
		for (size_t j = 0; j < DECIMATION; ++j)
			s += frame_sum(x, k * DECIMATION + j);
		y[k] = s;
		squares[k + 1] = squares[k] + double(s) * s;
	}
	const size_t lo = std::max<size_t>(1, min_lag / DECIMATION);
	const size_t hi = std::max(lo, max_lag / DECIMATION);
	size_t best = hi;
	double best_c = -2;
	for (size_t lag = lo; lag <= hi; ++lag) {
		double cross = 0;
		for (size_t k = 0; k < lag; ++k)
			cross += double(y[k]) * y[k + lag];
		const double norm = std::sqrt(squares[lag] * (squares[2 * lag] - squares[lag]));
		const double c = norm > 0 ? cross / norm : 0;
		if (c > best_c) {
			best_c = c;
			best = lag;
		}
	}

	const size_t centre = best * DECIMATION;
	const size_t from = std::max(min_lag, centre > REFINE ? centre - REFINE : 0);
	const size_t to = std::min(max_lag, centre + REFINE);
	size_t lag = std::clamp(centre, min_lag, max_lag);
	best_c = -2;
	for (size_t l = from; l <= to; ++l) {
		const double c = likeness(x, l);
		if (c > best_c) {
			best_c = c;
			lag = l;
		}
	}
	return lag;
}

void stretch_shorten(int16_t *x, size_t frames, size_t lag)
{
	for (size_t n = 0; n < lag; ++n) {
		const float w = rising(n, lag);
		x[2 * n] = blend(x[2 * n], x[2 * (n + lag)], w);
		x[2 * n + 1] = blend(x[2 * n + 1], x[2 * (n + lag) + 1], w);
	}
	std::memmove(x + 2 * lag, x + 4 * lag, 2 * (frames - 2 * lag) * sizeof(int16_t));
}

void stretch_lengthen(int16_t *x, size_t frames, size_t lag)
{
	// Everything after the first period moves one period on; the period
	// between becomes the second fading back into the first.
	std::memmove(x + 4 * lag, x + 2 * lag, 2 * (frames - lag) * sizeof(int16_t));
	for (size_t n = 0; n < lag; ++n) {
		const float w = rising(n, lag);
		x[2 * (n + lag)] = blend(x[2 * (n + 2 * lag)], x[2 * n], w);
		x[2 * (n + lag) + 1] = blend(x[2 * (n + 2 * lag) + 1], x[2 * n + 1], w);
	}
}
