// The page's mix of each call track: its channel mode and volume, by track
// id (ZVAUDIO_STREAM_TRACK or a caller's track, 1 to ZVAUDIO_CALL_TRACKS).
// Set on the main thread; the calls' thread applies them to the track's call
// audio (webapp_session_play).
#pragma once

#include <atomic>
#include <cstdint>

struct webapp_track_mix {
	std::atomic<int32_t> chmix{0};   // 0 stereo, 1 left on both sides, 2 right on both sides
	std::atomic<double> volume{1.0}; // linear gain of the call audio
};

// The mix of track id.
struct webapp_track_mix *webapp_track_mix_of(uint32_t id);

// Every track's mix as at the start: stereo, gain 1.
void webapp_track_mix_reset(void);
