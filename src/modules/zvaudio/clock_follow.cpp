#include "clock_follow.h"

#include <algorithm>
#include <cmath>
#include <cstring>

namespace {

// The interpolation filter: a Kaiser-windowed sinc with its cut-off at the
// Nyquist frequency, tabulated at PHASES fractions of a frame, each row with
// its step to the next for the interpolation between rows. At fraction 0 it
// is the unit impulse, so that a position on a frame gives the frame itself.
constexpr size_t PHASES = 256;
constexpr double KAISER_BETA = 8.6;

double bessel_i0(double x)
{
	double sum = 1.0, term = 1.0;
	for (int k = 1; k < 40; ++k) {
		term *= (x / (2.0 * k)) * (x / (2.0 * k));
		sum += term;
	}
	return sum;
}

struct alignas(64) filter_table {
	float row[PHASES][FOLLOW_TAPS];  // the taps at fraction j / PHASES
	float step[PHASES][FOLLOW_TAPS]; // from there to the next row

	filter_table()
	{
		const double half = double(FOLLOW_HALF);
		for (size_t j = 0; j <= PHASES; ++j) {
			const double frac = double(j) / PHASES;
			double sum = 0;
			double h[FOLLOW_TAPS];
			float next[FOLLOW_TAPS];
			for (size_t m = 0; m < FOLLOW_TAPS; ++m) {
				// Tap m weighs the frame at offset m - (HALF - 1) from pos.
				const double u = double(m) - (half - 1.0) - frac;
				// On a frame the sinc is exactly 1 there and 0 elsewhere.
				const double sinc = u == std::round(u)
							    ? (u == 0 ? 1.0 : 0.0)
							    : std::sin(M_PI * u) / (M_PI * u);
				const double r = u / half;
				const double w =
					r * r < 1 ? bessel_i0(KAISER_BETA * std::sqrt(1 - r * r)) /
							    bessel_i0(KAISER_BETA)
						  : 0;
				h[m] = sinc * w;
				sum += h[m];
			}
			for (size_t m = 0; m < FOLLOW_TAPS; ++m)
				next[m] = float(h[m] / sum);
			if (j) {
				for (size_t m = 0; m < FOLLOW_TAPS; ++m)
					step[j - 1][m] = next[m] - row[j - 1][m];
			}
			if (j < PHASES)
				std::copy(next, next + FOLLOW_TAPS, row[j]);
		}
	}
};

const filter_table &table()
{
	static const filter_table t;
	return t;
}

[[gnu::always_inline]] inline int16_t to_s16(float v)
{
	long r = std::lrint(v);
	return int16_t(r > 32767 ? 32767 : (r < -32767 ? -32767 : r));
}

// Eight taps at a time: the sums run on vectors in a fixed order.
typedef float taps __attribute__((vector_size(32)));

// The frame at position pos + frac, into v[0] and v[1] as float.
[[gnu::always_inline]] inline void value_at(const filter_table &filter,
					    const struct clock_follower *f, size_t pos, double frac,
					    float v[2])
{
	const double phase = frac * PHASES;
	const size_t j = size_t(phase);
	const float t = float(phase - double(j));
	const float *r0 = filter.row[j];
	const float *d = filter.step[j];
	const size_t first = pos - (FOLLOW_HALF - 1);
	const float *a = f->left + first;
	const float *b = f->right + first;
	taps l = {}, r = {};
	for (size_t m = 0; m < FOLLOW_TAPS; m += 8) {
		taps c0, dc, x, y;
		std::memcpy(&c0, r0 + m, sizeof(taps));
		std::memcpy(&dc, d + m, sizeof(taps));
		std::memcpy(&x, a + m, sizeof(taps));
		std::memcpy(&y, b + m, sizeof(taps));
		const taps c = c0 + t * dc;
		l += c * x;
		r += c * y;
	}
	// Both channels' sums together: halves, then quarters, then pairs.
	typedef int order __attribute__((vector_size(32)));
	taps s = __builtin_shuffle(l, r, order{0, 1, 2, 3, 8, 9, 10, 11}) +
		 __builtin_shuffle(l, r, order{4, 5, 6, 7, 12, 13, 14, 15});
	s += __builtin_shuffle(s, order{2, 3, 0, 1, 6, 7, 4, 5});
	v[0] = s[0] + s[1];
	v[1] = s[4] + s[5];
}

double approach(double from, double to, double step)
{
	if (to > from + step)
		return from + step;
	if (to < from - step)
		return from - step;
	return to;
}

// Moves the speed one period's step toward the target; a correction that
// ends between two frames returns onto the nearer one at the landing speed.
void steer(struct clock_follower *f)
{
	if (f->target != 0) {
		f->landing = false;
		f->speed = approach(f->speed, f->target, FOLLOW_SPEED_STEP);
		return;
	}
	if (f->landing)
		return;
	const double before = f->speed;
	f->speed = approach(f->speed, 0, FOLLOW_SPEED_STEP);
	if (f->frac != 0 && std::fabs(f->speed) <= FOLLOW_LANDING) {
		// On in the direction it was going; from a standstill to the nearer frame.
		const bool back = before < 0 || (before == 0 && f->frac < 0.5);
		f->landing = true;
		f->speed = back ? -FOLLOW_LANDING : FOLLOW_LANDING;
	}
}

// The next output position.
[[gnu::always_inline]] inline void advance(struct clock_follower *f)
{
	if (f->frac == 0 && f->speed == 0) {
		++f->pos;
		return;
	}
	const double x = f->frac + 1.0 + f->speed;
	if (f->landing && (f->speed < 0 ? f->frac <= -f->speed : x >= 2.0)) {
		f->pos += f->speed < 0 ? 1 : 2;
		f->frac = 0;
		f->speed = 0;
		f->landing = false;
		return;
	}
	const size_t whole = size_t(x);
	f->pos += whole;
	f->frac = x - double(whole);
}

// Out frames between the input frames.
[[gnu::always_inline]] inline void interpolate_frames(struct clock_follower *f, int16_t *out,
						      size_t out_frames)
{
	const filter_table &filter = table();
	for (size_t i = 0; i < out_frames; ++i) {
		float v[2];
		value_at(filter, f, f->pos, f->frac, v);
		out[2 * i] = to_s16(v[0]);
		out[2 * i + 1] = to_s16(v[1]);
		advance(f);
	}
}

// The filter is most of a correcting period: it is built twice, for any
// x86-64 and for the vector units of today's machines, and the machine's
// own is chosen once at start.
typedef void interpolate_h(struct clock_follower *f, int16_t *out, size_t out_frames);

void interpolate_any(struct clock_follower *f, int16_t *out, size_t out_frames)
{
	interpolate_frames(f, out, out_frames);
}

#if defined(__x86_64__)
__attribute__((target("avx2,fma"))) void interpolate_wide(struct clock_follower *f, int16_t *out,
							  size_t out_frames)
{
	interpolate_frames(f, out, out_frames);
}
#endif

interpolate_h *machine_interpolate()
{
#if defined(__x86_64__)
	__builtin_cpu_init();
	if (__builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma"))
		return interpolate_wide;
#endif
	return interpolate_any;
}

interpolate_h *const interpolate = machine_interpolate();

// The input frames that out output frames span from the current position,
// at a speed of at most speed away from 1, with the frames the filter
// reads beyond the last position. The frames ahead are kept at rest as
// well, so that a correction can begin without reading more at once.
size_t span(const struct clock_follower *f, size_t out)
{
	// A landing from below ends at speed 1.
	const double speed = f->landing ? std::max(f->speed, 0.0) : f->speed;
	return size_t(std::ceil(f->frac + double(out) * (1.0 + speed))) + FOLLOW_HALF + 1;
}

}

size_t follow_storage_frames(size_t max_frames)
{
	return 2 * FOLLOW_HALF + 2 * max_frames +
	       size_t(std::ceil(max_frames * 2 * FOLLOW_MAX_SPEED)) + 8;
}

void follow_init(struct clock_follower *f, int16_t *frames_storage, float *channels, size_t frames)
{
	f->buf = frames_storage;
	f->left = channels;
	f->right = channels + frames;
	f->cap = frames;
	table();
	follow_reset(f);
}

void follow_reset(struct clock_follower *f)
{
	f->pos = FOLLOW_HALF - 1;
	f->count = f->pos;
	std::memset(f->buf, 0, 2 * f->count * sizeof(int16_t));
	std::memset(f->left, 0, f->count * sizeof(float));
	std::memset(f->right, 0, f->count * sizeof(float));
	f->frac = 0;
	f->speed = 0;
	f->target = 0;
	f->landing = false;
}

size_t follow_input_needed(const struct clock_follower *f, size_t out)
{
	// The span once the period's step of the speed is taken.
	struct clock_follower next = *f;
	steer(&next);
	const size_t end = f->pos + span(&next, out);
	return end > f->count ? end - f->count : 0;
}

int16_t *follow_input(struct clock_follower *f, size_t frames)
{
	const size_t keep_from = f->pos - (FOLLOW_HALF - 1);
	if (keep_from) {
		std::memmove(f->buf, f->buf + 2 * keep_from,
			     2 * (f->count - keep_from) * sizeof(int16_t));
		std::memmove(f->left, f->left + keep_from, (f->count - keep_from) * sizeof(float));
		std::memmove(f->right, f->right + keep_from,
			     (f->count - keep_from) * sizeof(float));
		f->pos -= keep_from;
		f->count -= keep_from;
	}
	if (f->count + frames > f->cap)
		return nullptr;
	return f->buf + 2 * f->count;
}

void follow_input_done(struct clock_follower *f, size_t frames)
{
	frames = std::min(f->cap - f->count, frames);
	const int16_t *x = f->buf + 2 * f->count;
	for (size_t k = 0; k < frames; ++k) {
		f->left[f->count + k] = float(x[2 * k]);
		f->right[f->count + k] = float(x[2 * k + 1]);
	}
	f->count += frames;
}

void follow_produce(struct clock_follower *f, int16_t *out, size_t out_frames)
{
	steer(f);
	const size_t needed = span(f, out_frames);
	if (f->pos + needed > f->count) {
		// Not enough input (the caller could not append it): silence.
		std::memset(out, 0, 2 * out_frames * sizeof(int16_t));
		return;
	}
	if (follow_at_rest(f)) {
		std::memcpy(out, f->buf + 2 * f->pos, 2 * out_frames * sizeof(int16_t));
		f->pos += out_frames;
		return;
	}
	interpolate(f, out, out_frames);
}

size_t follow_ahead(const struct clock_follower *f)
{
	return f->count - f->pos;
}

bool follow_at_rest(const struct clock_follower *f)
{
	return f->frac == 0 && f->speed == 0 && f->target == 0 && !f->landing;
}

namespace {

// Speed per frame of error: 20 ms from the band's middle asks for the
// largest speed.
constexpr double GAIN = FOLLOW_MAX_SPEED / 960.0;
// Close enough to the goal of a correction.
constexpr double NEAR_GOAL = 24.0;

}

void follow_control_init(struct follow_control *c, double lo_frames, double hi_frames)
{
	c->n = 0;
	c->lo = lo_frames;
	c->hi = hi_frames;
	c->goal = 0;
}

void follow_control_band(struct follow_control *c, double lo_frames, double hi_frames)
{
	c->lo = lo_frames;
	c->hi = hi_frames;
}

void follow_control_restart(struct follow_control *c)
{
	c->n = 0;
	c->goal = 0;
}

void follow_control_update(struct follow_control *c, struct clock_follower *f, double level)
{
	c->levels[c->n % FOLLOW_WINDOW] = level;
	++c->n;
	if (c->n < FOLLOW_WINDOW) {
		f->target = 0;
		return;
	}
	// A level that leaves the band is brought back inside, far enough to
	// leave room for the next step of a level that moves in steps: one
	// that fell goes up to the top of the band, one that rose down to its
	// middle.
	const double low = *std::min_element(c->levels, c->levels + FOLLOW_WINDOW);
	if (low < c->lo)
		c->goal = c->hi - NEAR_GOAL;
	else if (low > c->hi)
		c->goal = (c->lo + c->hi) / 2;
	else if (c->goal != 0 && std::fabs(low - c->goal) < NEAR_GOAL)
		c->goal = 0;
	const double error = c->goal != 0 ? low - c->goal : 0;
	f->target = std::clamp(error * GAIN, -FOLLOW_MAX_SPEED, FOLLOW_MAX_SPEED);
}
