#include "fakes.h"

web_fakes fakes;

namespace {

void devices_changed()
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

// The recording switched off, as the web app's option does.
void record_failed(const char *text)
{
	fakes.record_failures.emplace_back(text);
	zvaudio_record_set(false);
}

// No play handler: the engine fills the buffer through the player's write
// handler alone, as the web app does at volume 1.0 in stereo.
const struct zvaudio_handlers handlers = {nullptr, devices_changed, record_failed};

}

void web_fakes::reset()
{
	audio_pushes = 0;
	pushed_json.clear();
	record_failures.clear();
	zvaudio_handlers_set(&handlers);
	(void)meters_take();
}

meter_peaks meters_take()
{
	meter_peaks m;
	zvaudio_meter_take(m.slot);
	return m;
}
