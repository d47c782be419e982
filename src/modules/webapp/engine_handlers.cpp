// The web app's part in the audio engine: a call track's playback, the
// device dictionary for the pages and a failed recording.
#include "webapp_engine.h"
#include "zvaudio.h"

namespace {

// A failed recording is shown, and the page's switch goes off.
void record_failed(const char *text)
{
	webapp_error_show(text);
	webapp_option_request("record", "false");
}

const struct zvaudio_handlers handlers = {webapp_session_play, webapp_ws_audio_push, record_failed};

}

void webapp_engine_init(void)
{
	zvaudio_handlers_set(&handlers);
}

void webapp_engine_close(void)
{
	zvaudio_handlers_set(nullptr);
}
