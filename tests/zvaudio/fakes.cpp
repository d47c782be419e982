#include "fakes.h"

#include <cmath>

#include "webapp_engine.h"
#include "zvaudio.h"

web_fakes fakes;

void web_fakes::reset()
{
	for (auto &slot : peaks)
		for (auto &p : slot)
			p = 0;
	for (auto &c : meter_calls)
		c = 0;
	meter_frames0 = 0;
	play_calls = 0;
	audio_pushes = 0;
	pushed_json.clear();
	options.clear();
	errors.clear();
}

// Fills the buffer through the player's write handler, as the web app does
// at volume 1.0 in stereo.
void webapp_session_play(struct track *track, int16_t *sampv, auplay_write_h *wh, size_t samples, void *arg)
{
	(void)track;
	struct auframe af;
	auframe_init(&af, AUFMT_S16LE, sampv, samples);
	wh(&af, arg);
	++fakes.play_calls;
}

void webapp_meter_update(uint32_t slot, const float *samples, uint32_t frames)
{
	if (!samples || slot > 31 || !frames)
		return;
	++fakes.meter_calls[slot];
	if (slot == 0)
		fakes.meter_frames0 = frames;
	for (uint32_t j = 0; j < frames; ++j)
		for (int c = 0; c < 2; ++c) {
			float a = std::fabs(samples[2 * j + c]);
			if (a > fakes.peaks[slot][c])
				fakes.peaks[slot][c] = a;
		}
}

void webapp_ws_audio_push(void)
{
	++fakes.audio_pushes;
	char *json = nullptr;
	if (zvaudio_info() && re_sdprintf(&json, "%H", json_encode_odict, zvaudio_info()) == 0) {
		fakes.pushed_json.emplace_back(json);
		mem_deref(json);
	}
	else {
		fakes.pushed_json.emplace_back("");
	}
}

void webapp_error_show(const char *message)
{
	fakes.errors.emplace_back(message);
}

// The option "record" switched off, as the web app applies it.
void webapp_option_request(const char *key, const char *value)
{
	if (!key || !value)
		return;
	fakes.options.emplace_back(key, value);
	if (std::string(key) == "record")
		zvaudio_record_set(std::string(value) != "false");
}
