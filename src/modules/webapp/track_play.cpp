#include "auframe.h"
#include "track_mix.h"
#include "webapp_engine.h"

void webapp_session_play(uint32_t track, int16_t *sampv, auplay_write_h *wh, size_t samples,
			 void *arg)
{
	const struct webapp_track_mix *mix = webapp_track_mix_of(track);
	struct auframe af;
	zv_auframe_init(&af, AUFMT_S16LE, sampv, samples, 48000, 2);
	wh(&af, arg);

	const double volume = mix->volume.load(std::memory_order_relaxed);
	if (volume != 1.0) {
		for (size_t i = 0; i < samples; ++i) {
			const double g = sampv[i] * volume;
			if (g > 32767.0)
				sampv[i] = 32767;
			else if (g < -32767.0)
				sampv[i] = -32767;
			else if (g == g)
				sampv[i] = static_cast<int16_t>(g);
			else
				sampv[i] = 0; // a gain that is no number silences
		}
	}

	const int32_t chmix = mix->chmix.load(std::memory_order_relaxed);
	if (chmix != 1 && chmix != 2)
		return;
	for (size_t i = 0; i + 1 < samples; i += 2) {
		if (chmix == 1)
			sampv[i + 1] = sampv[i];
		else
			sampv[i] = sampv[i + 1];
	}
}
