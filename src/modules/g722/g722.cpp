/*
 * G.722 audio codec module: registers the codec (RTP payload type 9,
 * 16000 Hz audio at an 8000 Hz RTP clock, mono) and codes 64 kbit/s
 * unpacked streams through the codec core.
 */
#include <cerrno>
#include <climits>
#include <cstddef>

#include <re.h>
#include <rem.h>
#include <baresip.h>

#include "g722_codec.h"

/* The library's opaque codec states are the core's states themselves */
struct auenc_state : g722_encode_state {};
struct audec_state : g722_decode_state {};

namespace {

constexpr int g722_rate = 64000;

int g722_encode_update(struct auenc_state **aesp, const struct aucodec *ac, struct auenc_param *prm,
		       const char *fmtp)
{
	(void)prm;
	(void)fmtp;

	if (!aesp || !ac)
		return EINVAL;

	/* a renegotiation keeps the running stream as it is */
	if (*aesp)
		return 0;

	auto *st =
		static_cast<struct auenc_state *>(mem_alloc(sizeof(struct auenc_state), nullptr));
	if (!st)
		return ENOMEM;

	if (!g722_encode_init(st, g722_rate, 0)) {
		mem_deref(st);
		return EPROTO;
	}

	*aesp = st;

	return 0;
}

int g722_encode_frame(struct auenc_state *aes, bool *marker, uint8_t *buf, size_t *len, int fmt,
		      const void *sampv, size_t sampc)
{
	(void)marker;

	if (!aes || !buf || !len || !sampv)
		return EINVAL;

	if (fmt != AUFMT_S16LE)
		return ENOTSUP;

	if (sampc > INT_MAX || *len < (sampc + 1) / 2)
		return ENOMEM;

	const int n =
		g722_encode(aes, buf, static_cast<const int16_t *>(sampv), static_cast<int>(sampc));
	if (n <= 0)
		return EPROTO;

	*len = static_cast<size_t>(n);

	return 0;
}

int g722_decode_update(struct audec_state **adsp, const struct aucodec *ac, const char *fmtp)
{
	(void)fmtp;

	if (!adsp || !ac)
		return EINVAL;

	if (*adsp)
		return 0;

	auto *st =
		static_cast<struct audec_state *>(mem_alloc(sizeof(struct audec_state), nullptr));
	if (!st)
		return ENOMEM;

	if (!g722_decode_init(st, g722_rate, 0)) {
		mem_deref(st);
		return EPROTO;
	}

	*adsp = st;

	return 0;
}

int g722_decode_frame(struct audec_state *ads, int fmt, void *sampv, size_t *sampc, bool marker,
		      const uint8_t *buf, size_t len)
{
	(void)marker;

	if (!ads || !sampv || !sampc || !buf)
		return EINVAL;

	if (fmt != AUFMT_S16LE)
		return ENOTSUP;

	if (len > INT_MAX / 2 || *sampc < len * 2)
		return ENOMEM;

	const int n = g722_decode(ads, static_cast<int16_t *>(sampv), buf, static_cast<int>(len));
	if (n < 0)
		return EPROTO;

	*sampc = static_cast<size_t>(n);

	return 0;
}

struct aucodec g722_codec = {
	.le = LE_INIT,
	.pt = "9",
	.name = "G722",
	.srate = 16000,
	.crate = 8000,
	.ch = 1,
	.pch = 1,
	.ptime = 0,
	.fmtp = nullptr,
	.encupdh = g722_encode_update,
	.ench = g722_encode_frame,
	.decupdh = g722_decode_update,
	.dech = g722_decode_frame,
	.plch = nullptr,
	.fmtp_ench = nullptr,
	.fmtp_cmph = nullptr,
};

int g722_module_init(void)
{
	aucodec_register(baresip_aucodecl(), &g722_codec);

	return 0;
}

int g722_module_close(void)
{
	aucodec_unregister(&g722_codec);

	return 0;
}

} // namespace

extern "C" const struct mod_export exports_g722 = {
	"g722",
	"codec",
	g722_module_init,
	g722_module_close,
};
