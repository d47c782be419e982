/*
 * G.722 encoder: transmit QMF, lower-band 6-bit and upper-band 2-bit
 * ADPCM quantisation, code-word forming and optional bit packing.
 */
#include <cstdlib>

#include "g722_band.h"
#include "g722_codec.h"

using namespace g722;

namespace {

/* Decision levels of the 6-bit lower-band quantiser, intervals 1 to 30 */
constexpr int32_t q6[31] = {
	0,   35,  72,  110,  150,  190,  233,  276,  323,  370,  422,  473,  530,  587,  650, 714,
	786, 858, 940, 1023, 1121, 1219, 1339, 1458, 1612, 1765, 1980, 2195, 2557, 2919, 0,
};

/* 6-bit codes of the lower band per interval: negative, positive */
constexpr int32_t iln[31] = {
	0,  63, 62, 31, 30, 29, 28, 27, 26, 25, 24, 23, 22, 21, 20, 19,
	18, 17, 16, 15, 14, 13, 12, 11, 10, 9,  8,  7,  6,  5,  4,
};
constexpr int32_t ilp[31] = {
	0,  61, 60, 59, 58, 57, 56, 55, 54, 53, 52, 51, 50, 49, 48, 47,
	46, 45, 44, 43, 42, 41, 40, 39, 38, 37, 36, 35, 34, 33, 32,
};

/* 2-bit codes of the upper band per interval: negative, positive */
constexpr int32_t ihn[3] = {0, 1, 0};
constexpr int32_t ihp[3] = {0, 3, 2};

/* Magnitude as the quantisers see it */
int32_t magnitude(int32_t e)
{
	return e >= 0 ? e : -(e + 1);
}

/* Lower band: SUBTRA, QUANTL, INVQAL, adaptation; returns the 6-bit code */
int32_t encode_low(g722_band &band, int32_t xlow)
{
	const int32_t el = saturate(xlow - band.s);
	const int32_t wd = magnitude(el);

	int32_t i = 1;
	while (i < 30 && wd >= (q6[i] * band.det) >> 12)
		i++;
	const int32_t ilow = el < 0 ? iln[i] : ilp[i];

	const int32_t code4 = ilow >> 2;
	const int32_t dlow = (band.det * qm4[code4]) >> 15;

	adapt_low(band, code4);
	predict(band, dlow);

	return ilow;
}

/* Upper band: SUBTRA, QUANTH, INVQAH, adaptation; returns the 2-bit code */
int32_t encode_high(g722_band &band, int32_t xhigh)
{
	const int32_t eh = saturate(xhigh - band.s);
	const int32_t wd = magnitude(eh);

	const int32_t mih = wd >= (564 * band.det) >> 12 ? 2 : 1;
	const int32_t ihigh = eh < 0 ? ihn[mih] : ihp[mih];

	const int32_t dhigh = (band.det * qm2[ihigh]) >> 15;

	adapt_high(band, ihigh);
	predict(band, dhigh);

	return ihigh;
}

/* Band splitting of one sample pair into lower and upper band inputs */
void split(g722_state &s, int32_t first, int32_t second, int32_t &xlow, int32_t &xhigh)
{
	for (int i = 0; i < 22; i++)
		s.x[i] = s.x[i + 2];
	s.x[22] = first;
	s.x[23] = second;

	int32_t sum_odd = 0;
	int32_t sum_even = 0;
	for (int i = 0; i < 12; i++) {
		sum_odd += s.x[2 * i + 1] * qmf_coeffs[11 - i];
		sum_even += s.x[2 * i] * qmf_coeffs[i];
	}

	xlow = (sum_odd + sum_even) >> 14;
	xhigh = (sum_odd - sum_even) >> 14;
}

} // namespace

g722_encode_state *g722_encode_init(g722_encode_state *s, int rate, int options)
{
	if (!s) {
		s = static_cast<g722_encode_state *>(malloc(sizeof(*s)));
		if (!s)
			return nullptr;
	}

	init_state(*s, rate, options);

	return s;
}

int g722_encode_free(g722_encode_state *s)
{
	free(s);

	return 0;
}

int g722_encode(g722_encode_state *s, uint8_t *g722_data, const int16_t *amp, int len)
{
	const int32_t shift = 8 - s->bits_per_sample;
	int n = 0;

	for (int j = 0; j < len;) {
		int32_t code;

		if (s->eight_k) {
			const int32_t ilow = encode_low(s->band[0], amp[j++] >> 1);
			code = (0xC0 | ilow) >> shift;
		}
		else {
			const int32_t first = amp[j++];
			const int32_t second = j < len ? amp[j++] : 0;
			int32_t xlow;
			int32_t xhigh;

			split(*s, first, second, xlow, xhigh);

			const int32_t ilow = encode_low(s->band[0], xlow);
			const int32_t ihigh = encode_high(s->band[1], xhigh);
			code = ((ihigh << 6) | ilow) >> shift;
		}

		if (s->packed) {
			s->out_buffer |= static_cast<uint32_t>(code) << s->out_bits;
			s->out_bits += s->bits_per_sample;
			if (s->out_bits >= 8) {
				g722_data[n++] = static_cast<uint8_t>(s->out_buffer);
				s->out_bits -= 8;
				s->out_buffer >>= 8;
			}
		}
		else {
			g722_data[n++] = static_cast<uint8_t>(code);
		}
	}

	return n;
}
