/*
 * Sub-band ADPCM adaptation shared by the G.722 encoder and decoder:
 * inverse quantisation for adaptation, scale-factor adaptation and the
 * adaptive predictor. All values are fixed-point integers.
 */
#pragma once

#include <cstdint>

#include "g722_codec.h"

namespace g722 {

inline int32_t saturate(int32_t v)
{
	if (v > INT16_MAX)
		return INT16_MAX;
	if (v < INT16_MIN)
		return INT16_MIN;
	return v;
}

/* 4-bit inverse quantiser of the lower band */
inline constexpr int32_t qm4[16] = {
	0,     -20456, -12896, -8968, -6288, -4240, -2584, -1200,
	20456, 12896,  8968,   6288,  4240,  2584,  1200,  0,
};

/* 2-bit inverse quantiser of the upper band */
inline constexpr int32_t qm2[4] = {-7408, -1616, 7408, 1616};

/* Scale-factor table: 2048 * 2^(i/32) */
inline constexpr int32_t ilb[32] = {
	2048, 2093, 2139, 2186, 2233, 2282, 2332, 2383, 2435, 2489, 2543,
	2599, 2656, 2714, 2774, 2834, 2896, 2960, 3025, 3091, 3158, 3228,
	3298, 3371, 3444, 3520, 3597, 3676, 3756, 3838, 3922, 4008,
};

/* Scale factor from a log scale factor; shift is 8 (lower) or 10 (upper) */
inline int32_t scale(int32_t nb, int32_t shift)
{
	const int32_t wd1 = (nb >> 6) & 31;
	const int32_t wd2 = shift - (nb >> 11);
	const int32_t wd3 = wd2 < 0 ? ilb[wd1] << -wd2 : ilb[wd1] >> wd2;

	return wd3 << 2;
}

/* LOGSCL and SCALEL on the 4-bit code */
inline void adapt_low(g722_band &band, int32_t code4)
{
	static constexpr int32_t rl42[16] = {
		0, 7, 6, 5, 4, 3, 2, 1, 7, 6, 5, 4, 3, 2, 1, 0,
	};
	static constexpr int32_t wl[8] = {
		-60, -30, 58, 172, 334, 538, 1198, 3042,
	};

	int32_t nb = ((band.nb * 127) >> 7) + wl[rl42[code4]];
	if (nb < 0)
		nb = 0;
	else if (nb > 18432)
		nb = 18432;

	band.nb = nb;
	band.det = scale(nb, 8);
}

/* LOGSCH and SCALEH on the 2-bit code */
inline void adapt_high(g722_band &band, int32_t code2)
{
	static constexpr int32_t rh2[4] = {2, 1, 2, 1};
	static constexpr int32_t wh[3] = {0, -214, 798};

	int32_t nb = ((band.nb * 127) >> 7) + wh[rh2[code2]];
	if (nb < 0)
		nb = 0;
	else if (nb > 22528)
		nb = 22528;

	band.nb = nb;
	band.det = scale(nb, 10);
}

/* Adaptive predictor (block 4) fed with the quantised difference d */
inline void predict(g722_band &band, int32_t d)
{
	/* RECONS and PARREC */
	band.d[0] = d;
	band.r[0] = saturate(band.s + d);
	band.p[0] = saturate(band.sz + d);

	/* UPPOL2 */
	for (int i = 0; i < 3; i++)
		band.sg[i] = band.p[i] >> 15;

	int32_t wd1 = saturate(band.a[1] * 4);
	int32_t wd2 = band.sg[0] == band.sg[1] ? saturate(-wd1) : wd1;
	int32_t wd3 = (wd2 >> 7) + (band.sg[0] == band.sg[2] ? 128 : -128);
	wd3 += (band.a[2] * 32512) >> 15;
	if (wd3 > 12288)
		wd3 = 12288;
	else if (wd3 < -12288)
		wd3 = -12288;
	band.ap[2] = wd3;

	/* UPPOL1 */
	wd1 = band.sg[0] == band.sg[1] ? 192 : -192;
	wd2 = (band.a[1] * 32640) >> 15;
	band.ap[1] = saturate(wd1 + wd2);
	wd3 = saturate(15360 - band.ap[2]);
	if (band.ap[1] > wd3)
		band.ap[1] = wd3;
	else if (band.ap[1] < -wd3)
		band.ap[1] = -wd3;

	/* UPZERO */
	const int32_t step = d == 0 ? 0 : 128;
	band.sg[0] = d >> 15;
	for (int i = 1; i < 7; i++) {
		band.sg[i] = band.d[i] >> 15;
		wd2 = band.sg[i] == band.sg[0] ? step : -step;
		wd3 = (band.b[i] * 32640) >> 15;
		band.bp[i] = saturate(wd2 + wd3);
	}

	/* DELAYA */
	for (int i = 6; i > 0; i--) {
		band.d[i] = band.d[i - 1];
		band.b[i] = band.bp[i];
	}
	for (int i = 2; i > 0; i--) {
		band.r[i] = band.r[i - 1];
		band.p[i] = band.p[i - 1];
		band.a[i] = band.ap[i];
	}

	/* FILTEP */
	wd1 = (band.a[1] * saturate(band.r[1] + band.r[1])) >> 15;
	wd2 = (band.a[2] * saturate(band.r[2] + band.r[2])) >> 15;
	band.sp = saturate(wd1 + wd2);

	/* FILTEZ */
	int32_t sz = 0;
	for (int i = 6; i > 0; i--)
		sz += (band.b[i] * saturate(band.d[i] + band.d[i])) >> 15;
	band.sz = saturate(sz);

	/* PREDIC */
	band.s = saturate(band.sp + band.sz);
}

/* Even-indexed QMF coefficients h0, h2, ..., h22 */
inline constexpr int32_t qmf_coeffs[12] = {
	3, -11, 12, 32, -210, 951, 3876, -805, 362, -156, 53, -11,
};

inline void init_state(g722_state &s, int rate, int options)
{
	s = g722_state{};
	if (rate == 48000)
		s.bits_per_sample = 6;
	else if (rate == 56000)
		s.bits_per_sample = 7;
	else
		s.bits_per_sample = 8;
	if (options & G722_OPTION_8KHZ)
		s.eight_k = 1;
	if ((options & G722_OPTION_PACKED) && s.bits_per_sample != 8)
		s.packed = 1;
	s.band[0].det = 32;
	s.band[1].det = 8;
}

} // namespace g722
