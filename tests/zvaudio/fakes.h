// The handlers that the web app registers with the engine, as fakes that
// record what the engine asked of them.
#pragma once

#include <string>
#include <vector>

#include "zvaudio.h"

struct web_fakes {
	unsigned audio_pushes = 0;
	std::vector<std::string> pushed_json;         // the device dictionary at each push
	std::vector<std::string> record_failures;     // the texts of failed recordings

	// Registers the fakes with the engine, with nothing recorded, and
	// empties the engine's meters.
	void reset();
};

extern web_fakes fakes;

// The meters' peaks since the last take (zvaudio_meter_take).
struct meter_peaks {
	float slot[ZVAUDIO_METER_SLOTS][2];
};
meter_peaks meters_take();
