// Caller i's mix-minus is the saturating sum, in list order, of every
// caller but i. Summing it on its own for each caller costs n x (n - 1)
// additions; here each sum is split at i into the part before it and the
// part after it:
//
// - the part before i is the running sum P(i) of callers 0 .. i-1, shared
//   by all callers (P(1) = caller 0 as it is, P(i+1) = sat(P(i) + c(i)));
// - the part after i applies "add c(j), saturate" for j = i+1 .. n-1 to
//   P(i). Each such step is x -> clamp(x + c, -32767, 32767), and a chain
//   of clamped additions is again one clamped addition
//   x -> clamp(x + a, lo, hi), so the chain after i is three numbers per
//   sample, built from the last caller backwards:
//       S(n-1) = identity
//       S(i) = S(i+1) after step i:  a' = a + c(i),
//              lo' = clamp(a - 32767, lo, hi), hi' = clamp(a + 32767, lo, hi)
//   (clamping to [l1, h1] and then to [l2, h2] is clamping to
//   [clamp(l1, l2, h2), clamp(h1, l2, h2)]).
//
// Caller i > 0 gets S(i+1)(P(i)); caller 0 starts from caller 1 as it is
// and gets S(2)(c(1)). Bit for bit what the one-by-one sums give, in about
// 5 n operations a sample.
#include "mixminus.h"

#include <algorithm>

namespace {

constexpr int32_t limit = 32767;

inline int32_t clamp(int32_t v, int32_t lo, int32_t hi)
{
	return std::min(std::max(v, lo), hi);
}

inline int32_t saturate(int32_t v)
{
	return clamp(v, -limit, limit);
}

// Samples handled at once: the chain's three numbers stay in the cache.
constexpr size_t block = 256;

// Samples k0 .. k0 + m - 1 of every caller.
void build_block(const int16_t *const *calls, int32_t *const *out, size_t n, size_t k0, size_t m)
{
	int32_t add[block], lo[block], hi[block];

	// The running sums before each caller.
	{
		int32_t *__restrict p = out[1] + k0;
		const int16_t *__restrict c = calls[0] + k0;
		for (size_t k = 0; k < m; ++k)
			p[k] = c[k];
	}
	for (size_t i = 2; i < n; ++i) {
		int32_t *__restrict p = out[i] + k0;
		const int32_t *__restrict prev = out[i - 1] + k0;
		const int16_t *__restrict c = calls[i - 1] + k0;
		for (size_t k = 0; k < m; ++k)
			p[k] = saturate(prev[k] + c[k]);
	}
	{
		int32_t *__restrict p = out[0] + k0;
		const int16_t *__restrict c = calls[1] + k0;
		for (size_t k = 0; k < m; ++k)
			p[k] = c[k];
	}

	// The chains after each caller, from the last one back; the last
	// caller's mix-minus is its running sum as it stands.
	{
		const int16_t *__restrict c = calls[n - 1] + k0;
		for (size_t k = 0; k < m; ++k) {
			add[k] = c[k];
			lo[k] = -limit;
			hi[k] = limit;
		}
	}
	for (size_t i = n - 2; i >= 1; --i) {
		int32_t *__restrict p = out[i] + k0;
		for (size_t k = 0; k < m; ++k)
			p[k] = clamp(p[k] + add[k], lo[k], hi[k]);
		if (i == 1) {
			int32_t *__restrict p0 = out[0] + k0;
			for (size_t k = 0; k < m; ++k)
				p0[k] = clamp(p0[k] + add[k], lo[k], hi[k]);
			break;
		}
		const int16_t *__restrict c = calls[i] + k0;
		for (size_t k = 0; k < m; ++k) {
			const int32_t a = add[k], l = lo[k], h = hi[k];
			lo[k] = clamp(a - limit, l, h);
			hi[k] = clamp(a + limit, l, h);
			add[k] = a + c[k];
		}
	}
}

}

void mix_add(int16_t *mix, const int16_t *add, size_t samples)
{
	int16_t *__restrict m = mix;
	const int16_t *__restrict a = add;
	for (size_t k = 0; k < samples; ++k)
		m[k] = int16_t(saturate(int32_t(m[k]) + a[k]));
}

void mixminus_build(const int16_t *const *calls, int32_t *const *out, size_t n, size_t samples)
{
	if (n < 2)
		return;
	for (size_t k0 = 0; k0 < samples; k0 += block)
		build_block(calls, out, n, k0, std::min(block, samples - k0));
}

void mix_send(int16_t *out, const int16_t *local, const int32_t *mixminus, size_t samples)
{
	int16_t *__restrict o = out;
	const int16_t *__restrict l = local;
	const int32_t *__restrict mm = mixminus;
	for (size_t k = 0; k < samples; ++k)
		o[k] = int16_t(saturate(int32_t(l[k]) + mm[k]));
}

void mix_send_alone(int16_t *out, const int16_t *local, size_t samples)
{
	int16_t *__restrict o = out;
	const int16_t *__restrict l = local;
	for (size_t k = 0; k < samples; ++k)
		o[k] = int16_t(std::max<int32_t>(l[k], -limit));
}
