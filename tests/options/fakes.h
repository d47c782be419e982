// Fakes of what the options part calls: the engine's setters, the
// recordings folder, the on-air stream, the websocket senders; and a log
// capture.
#pragma once

#include <map>
#include <string>
#include <utility>
#include <vector>

#include "ws.h"
#include "ws_dispatch.h"
#include "zvaudio.h"

struct option_fakes {
	std::vector<std::string> engine;                    // "monorecord=1", "stream start", in call order
	std::vector<std::pair<int, std::string>> pushes;    // endpoint and JSON
	std::vector<std::string> log;                       // "I text", "W text", "D text"
	std::map<int, webapp_ws_state_h *> state;
	int folder_opened = 0;

	void reset();
	void capture_log(bool on);
};

extern option_fakes fakes;
