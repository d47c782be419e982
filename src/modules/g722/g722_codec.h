/*
 * G.722 wideband codec core: sub-band ADPCM encoder and decoder.
 *
 * Encoder and decoder keep all history in their own state record, so a
 * stream's frames must pass in order through the same state.
 */
#pragma once

#include <cstdint>

enum : int {
	G722_OPTION_8KHZ = 1,   /* 8 kHz samples, lower sub-band only */
	G722_OPTION_PACKED = 2, /* continuous bit stream at 7 and 6 bits */
};

/* State of one sub-band's ADPCM coder */
struct g722_band {
	int32_t s;     /* signal estimate */
	int32_t sp;    /* pole-section output */
	int32_t sz;    /* zero-section output */
	int32_t r[3];  /* reconstructed signal, current first */
	int32_t a[3];  /* pole coefficients (1 and 2) */
	int32_t ap[3]; /* updated pole coefficients (1 and 2) */
	int32_t p[3];  /* partially reconstructed signal, current first */
	int32_t d[7];  /* quantised difference signal, current first */
	int32_t b[7];  /* zero coefficients (1 to 6) */
	int32_t bp[7]; /* updated zero coefficients (1 to 6) */
	int32_t sg[7]; /* signs, 0 or -1 */
	int32_t nb;    /* logarithmic scale factor */
	int32_t det;   /* quantiser scale factor */
};

/* Common layout of encoder and decoder states */
struct g722_state {
	int32_t itu_test_mode;   /* always clear: band splitting is in use */
	int32_t packed;          /* code words form a continuous bit stream */
	int32_t eight_k;         /* 8 kHz samples, lower sub-band only */
	int32_t bits_per_sample; /* code word width: 8, 7 or 6 */
	int32_t x[24];           /* QMF history, oldest first */
	g722_band band[2];       /* lower, then upper sub-band */
	uint32_t in_buffer;      /* decoder: bits not yet used */
	int32_t in_bits;
	uint32_t out_buffer; /* encoder: bits not yet written */
	int32_t out_bits;
};

struct g722_encode_state : g722_state {};
struct g722_decode_state : g722_state {};

/*
 * Initialise a state for rate 64000, 56000 or 48000 bit/s (any other rate
 * codes 8-bit words) and G722_OPTION_* bits. With a null state one is
 * allocated with malloc; the result is null only when that fails.
 */
g722_encode_state *g722_encode_init(g722_encode_state *s, int rate, int options);
g722_decode_state *g722_decode_init(g722_decode_state *s, int rate, int options);

/* Release a state that init allocated */
int g722_encode_free(g722_encode_state *s);
int g722_decode_free(g722_decode_state *s);

/*
 * Encode len samples into code words; returns the number of octets
 * written. At 16 kHz a trailing odd sample is coded with a silent partner.
 */
int g722_encode(g722_encode_state *s, uint8_t *g722_data, const int16_t *amp, int len);

/*
 * Decode len octets; returns the number of samples written. The caller
 * provides room for two samples per code word (one at 8 kHz); a call
 * decodes up to (bits held over + 8 * len) / width code words, which in
 * packed mode is more than len.
 */
int g722_decode(g722_decode_state *s, int16_t *amp, const uint8_t *g722_data, int len);
