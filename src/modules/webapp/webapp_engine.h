// The web app's handlers of the audio engine (zvaudio_handlers), and what
// else of the web app they reach.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sipstack.h"

// Registers the handlers with the engine (the module's first part to start)
// and takes them back (its last to stop).
void webapp_engine_init(void);
void webapp_engine_close(void);

// Calls' thread, engine lock held, for every call track (by id) with a bound
// player: fills the first samples values of sampv (48 kHz stereo 16-bit)
// through the player's write handler wh with arg, then applies the track's
// volume and channel mix (track_mix.h). No allocation, no lock, no logging.
void webapp_session_play(uint32_t track, int16_t *sampv, auplay_write_h *wh, size_t samples,
			 void *arg);

// Main thread: sends the engine's device dictionary (zvaudio_info) to every
// page on "/ws_audio".
void webapp_ws_audio_push(void);

// Main thread: an option change as the page sends it (key and value texts;
// either may be NULL, then nothing happens).
void webapp_option_request(const char *key, const char *value);

// Main thread: shows the pages an error toast with message, on
// "/ws_baresip".
void webapp_error_show(const char *message);
