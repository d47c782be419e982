// What the engine calls in the web app, recorded for the tests.
#pragma once

#include <array>
#include <atomic>
#include <string>
#include <utility>
#include <vector>

struct web_fakes {
	std::array<std::array<std::atomic<float>, 2>, 32> peaks;
	std::array<std::atomic<unsigned>, 32> meter_calls;
	std::atomic<unsigned> meter_frames0{0};
	std::atomic<unsigned> play_calls{0};
	unsigned audio_pushes = 0;
	std::vector<std::string> pushed_json;         // the device dictionary at each push
	std::vector<std::pair<std::string, std::string>> options;
	std::vector<std::string> errors;              // the pages' error toasts

	void reset();
};

extern web_fakes fakes;
