#include "sipstack.h"

#include <algorithm>

namespace {

// The library counts its jitter buffer in frames of the codec's packet
// time; calls use 20 ms packets.
constexpr uint32_t frame_ms = 20;

void apply_jitter_buffer(struct config_avt &avt, const struct conf *conf)
{
	struct pl type;
	if (0 == conf_get(conf, "audio_jitter_buffer_type", &type)) {
		if (0 == pl_strcasecmp(&type, "off"))
			avt.jbtype = JBUF_OFF;
		else if (0 == pl_strcasecmp(&type, "fixed"))
			avt.jbtype = JBUF_FIXED;
		else if (0 == pl_strcasecmp(&type, "adaptive"))
			avt.jbtype = JBUF_ADAPTIVE;
	}

	struct pl range, lo, hi;
	if (0 == conf_get(conf, "audio_jitter_buffer_ms", &range) &&
	    0 == re_regex(range.p, range.l, "[0-9]+-[0-9]+", &lo, &hi)) {
		struct range ms = {pl_u32(&lo), pl_u32(&hi)};
		if (ms.max < ms.min || !ms.max)
			return;
		uint32_t min_frames = std::max<uint32_t>(1, ms.min / frame_ms);
		uint32_t max_frames = std::max<uint32_t>(min_frames, ms.max / frame_ms);
		uint32_t size = 0;
		if (0 == conf_get_u32(conf, "audio_jitter_buffer_size", &size) && size)
			max_frames = std::clamp<uint32_t>(max_frames, min_frames, size);
		avt.jbuf_del.min = min_frames;
		avt.jbuf_del.max = max_frames;
		avt.jbuf_wish = std::min(min_frames + 1, max_frames);
	}
}

}

void zv_config_complete(struct config *cfg, const struct conf *conf)
{
	if (!cfg || !conf)
		return;

	apply_jitter_buffer(cfg->avt, conf);

	// The engine's calls' thread hands each call its frames, and the read
	// handler encodes and sends them as they come: no transmit thread per
	// call.
	struct pl val;
	if (0 != conf_get(conf, "audio_txmode", &val))
		cfg->audio.txmode = AUDIO_MODE_POLL;

	bool verify = true;
	if (0 != conf_get_bool(conf, "sip_verify_server", &verify))
		cfg->sip.verify_server = true;
}
