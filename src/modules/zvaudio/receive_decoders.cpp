// The call's decoders, one per payload type the far end sends, each giving
// 48 kHz stereo whatever the codec's own rate and channels.
#include "receive.h"

#include <opus/opus.h>

#include <cstring>

namespace {

constexpr uint32_t RATE = 48000;

// The codec's samples as 48 kHz stereo frames; 0 when they do not fit.
size_t to_engine(struct rx_decoder *d, const int16_t *in, size_t sampc, int16_t *out)
{
	if (!d->resampler.resample) {
		const size_t frames = sampc / 2;
		if (frames > RX_DECODE_FRAMES)
			return 0;
		std::memcpy(out, in, 2 * frames * sizeof(int16_t));
		return frames;
	}
	size_t outc = 2 * RX_DECODE_FRAMES;
	if (auresamp(&d->resampler, out, &outc, in, sampc))
		return 0;
	return outc / 2;
}

// Largest number of the codec's samples that still fit the engine's frames.
size_t codec_room(const struct rx_decoder *d)
{
	const size_t frames = RX_DECODE_FRAMES * d->ac->srate / RATE;
	return frames * d->ac->ch;
}

}

int rx_decoder_find(struct call_receive *r, uint8_t pt, bool *ignored)
{
	*ignored = false;
	const size_t n = r->decoder_count.load(std::memory_order_relaxed);
	for (size_t i = 0; i < n; ++i) {
		if (r->decoders[i].pt == pt)
			return int(i);
	}

	const struct sdp_format *lc = sdp_media_lformat(stream_sdpmedia(r->strm), pt);
	if (!lc)
		return -1;
	if (!str_casecmp(lc->name, "telephone-event")) {
		*ignored = true;
		return -1;
	}
	const auto *ac = static_cast<const struct aucodec *>(lc->data);
	if (!ac || !ac->dech || n == RX_DECODERS)
		return -1;

	struct rx_decoder &d = r->decoders[n];
	d = rx_decoder{};
	d.pt = pt;
	d.ac = ac;
	d.opus = !str_casecmp(ac->name, "opus");
	auresamp_init(&d.resampler);
	if (auresamp_setup(&d.resampler, ac->srate, ac->ch, RATE, 2))
		return -1;
	if (ac->decupdh && ac->decupdh(&d.dec, ac, lc->params)) {
		d.dec = static_cast<struct audec_state *>(mem_deref(d.dec));
		return -1;
	}
	// The calls' thread sees the decoder once the count says it is there.
	r->decoder_count.store(n + 1, std::memory_order_release);
	return int(n);
}

void rx_decoders_clear(struct call_receive *r)
{
	const size_t n = r->decoder_count.exchange(0);
	for (size_t i = 0; i < n; ++i)
		r->decoders[i].dec =
			static_cast<struct audec_state *>(mem_deref(r->decoders[i].dec));
}

size_t rx_decode(struct rx_decoder *d, const uint8_t *payload, size_t len, int16_t *out,
		 int16_t *scratch)
{
	// A damaged Opus packet is lost audio, not a decoder's complaint in the
	// log for each one.
	if (d->opus) {
		const int n =
			opus_packet_get_nb_samples(payload, opus_int32(len), int32_t(d->ac->srate));
		if (n <= 0 || size_t(n) * d->ac->ch > codec_room(d))
			return 0;
	}
	size_t sampc = codec_room(d);
	if (!len || d->ac->dech(d->dec, AUFMT_S16LE, scratch, &sampc, false, payload, len))
		return 0;
	return to_engine(d, scratch, sampc, out);
}

size_t rx_conceal(struct rx_decoder *d, const uint8_t *next, size_t next_len, int16_t *out,
		  int16_t *scratch)
{
	if (!d->ac->plch)
		return 0;
	size_t sampc = codec_room(d);
	if (d->ac->plch(d->dec, AUFMT_S16LE, scratch, &sampc, next, next_len))
		return 0;
	return to_engine(d, scratch, sampc, out);
}
