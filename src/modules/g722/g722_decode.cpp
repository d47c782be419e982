/*
 * G.722 decoder: bit unpacking, lower-band and upper-band ADPCM
 * reconstruction and receive QMF.
 */
#include <cstdlib>

#include "g722_band.h"
#include "g722_codec.h"

using namespace g722;

namespace {

/* 6-bit inverse quantiser of the lower band */
constexpr int32_t qm6[64] = {
	-136,   -136,   -136,  -136,  -24808, -21904, -19008, -16704, -14984, -13512, -12280,
	-11192, -10232, -9360, -8576, -7856,  -7192,  -6576,  -6000,  -5456,  -4944,  -4464,
	-4008,  -3576,  -3168, -2776, -2400,  -2032,  -1688,  -1360,  -1040,  -728,   24808,
	21904,  19008,  16704, 14984, 13512,  12280,  11192,  10232,  9360,   8576,   7856,
	7192,   6576,   6000,  5456,  4944,   4464,   4008,   3576,   3168,   2776,   2400,
	2032,   1688,   1360,  1040,  728,    432,    136,    -432,   -136,
};

/* 5-bit inverse quantiser of the lower band */
constexpr int32_t qm5[32] = {
	-280,  -280,  -23352, -17560, -14120, -11664, -9752, -8184, -6864, -5712, -4696,
	-3784, -2960, -2208,  -1520,  -880,   23352,  17560, 14120, 11664, 9752,  8184,
	6864,  5712,  4696,   3784,   2960,   2208,   1520,  880,   280,   -280,
};

int32_t limit(int32_t v)
{
	if (v > 16383)
		return 16383;
	if (v < -16384)
		return -16384;
	return v;
}

/* Lower band: INVQBL, LIMIT, adaptation on the 4-bit code; returns rL */
int32_t decode_low(g722_band &band, int32_t q, int32_t code4)
{
	const int32_t rlow = limit(band.s + ((band.det * q) >> 15));
	const int32_t dlow = (band.det * qm4[code4]) >> 15;

	adapt_low(band, code4);
	predict(band, dlow);

	return rlow;
}

/* Upper band: INVQAH, LIMIT, adaptation; returns rH */
int32_t decode_high(g722_band &band, int32_t ihigh)
{
	const int32_t dhigh = (band.det * qm2[ihigh]) >> 15;
	const int32_t rhigh = limit(band.s + dhigh);

	adapt_high(band, ihigh);
	predict(band, dhigh);

	return rhigh;
}

/* Receive QMF: one pair of output samples from the two bands */
void combine(g722_state &s, int32_t rlow, int32_t rhigh, int16_t *out)
{
	for (int i = 0; i < 22; i++)
		s.x[i] = s.x[i + 2];
	s.x[22] = rlow + rhigh;
	s.x[23] = rlow - rhigh;

	int32_t sum_odd = 0;
	int32_t sum_even = 0;
	for (int i = 0; i < 12; i++) {
		sum_odd += s.x[2 * i + 1] * qmf_coeffs[11 - i];
		sum_even += s.x[2 * i] * qmf_coeffs[i];
	}

	out[0] = static_cast<int16_t>(saturate(sum_odd >> 11));
	out[1] = static_cast<int16_t>(saturate(sum_even >> 11));
}

} // namespace

g722_decode_state *g722_decode_init(g722_decode_state *s, int rate, int options)
{
	if (!s) {
		s = static_cast<g722_decode_state *>(malloc(sizeof(*s)));
		if (!s)
			return nullptr;
	}

	init_state(*s, rate, options);

	return s;
}

int g722_decode_free(g722_decode_state *s)
{
	free(s);

	return 0;
}

int g722_decode(g722_decode_state *s, int16_t *amp, const uint8_t *g722_data, int len)
{
	const int32_t bits = s->bits_per_sample;
	int n = 0;

	for (int j = 0; j < len;) {
		int32_t code;

		if (s->packed) {
			if (s->in_bits < bits) {
				s->in_buffer |= static_cast<uint32_t>(g722_data[j++]) << s->in_bits;
				s->in_bits += 8;
			}
			code = static_cast<int32_t>(s->in_buffer & ((1u << bits) - 1));
			s->in_buffer >>= bits;
			s->in_bits -= bits;
		}
		else {
			code = g722_data[j++];
		}

		int32_t ihigh;
		int32_t q;
		int32_t code4;
		switch (bits) {
		case 7:
			ihigh = (code >> 5) & 3;
			q = qm5[code & 0x1F];
			code4 = (code & 0x1F) >> 1;
			break;
		case 6:
			ihigh = (code >> 4) & 3;
			q = qm4[code & 0x0F];
			code4 = code & 0x0F;
			break;
		default:
			ihigh = (code >> 6) & 3;
			q = qm6[code & 0x3F];
			code4 = (code & 0x3F) >> 2;
			break;
		}

		const int32_t rlow = decode_low(s->band[0], q, code4);

		if (s->eight_k) {
			amp[n++] = static_cast<int16_t>(rlow << 1);
		}
		else {
			const int32_t rhigh = decode_high(s->band[1], ihigh);
			combine(*s, rlow, rhigh, amp + n);
			n += 2;
		}
	}

	return n;
}
