// The PortAudio session. Once the JACK server that PortAudio found at its
// start has gone, PortAudio's termination fails an assertion and ends the
// process, whether a new server runs or not: the session is then kept for
// the life of the process, and only its other host APIs stay usable. A JACK
// client of our own tells when that server goes.
#include "engine.h"

#include <jack/jack.h>

namespace {

jack_client_t *watch;
std::atomic<bool> jack_lost{false};
// Our client could not be opened, so a loss would go unnoticed: PortAudio's
// session is kept to be safe, while its streams are closed as usual.
bool watch_missing;

void on_jack_shutdown(void *arg)
{
	(void)arg;
	jack_lost.store(true);
}

void watch_begin()
{
	jack_lost = false;
	watch_missing = false;
	if (Pa_HostApiTypeIdToHostApiIndex(paJACK) < 0)
		return;
	jack_status_t status;
	watch = jack_client_open("zorvane-watch", JackNoStartServer, &status);
	if (!watch) {
		watch_missing = true;
		return;
	}
	jack_on_shutdown(watch, on_jack_shutdown, nullptr);
}

}

PaError zvaudio_pa_begin()
{
	PaError pa = Pa_Initialize();
	if (pa != paNoError)
		return pa;
	zva.pa_initialised = true;
	watch_begin();
	return paNoError;
}

bool zvaudio_jack_lost()
{
	return jack_lost.load();
}

bool zvaudio_pa_end()
{
	if (!zva.pa_initialised)
		return true;
	if (jack_lost.load()) {
		warning("zvaudio: the JACK server went away, PortAudio stays up until the program ends\n");
		return false;
	}
	if (watch_missing) {
		warning("zvaudio: the JACK server cannot be watched, PortAudio stays up until the program ends\n");
		return false;
	}
	if (watch)
		jack_client_close(watch);
	watch = nullptr;
	Pa_Terminate();
	zva.pa_initialised = false;
	return true;
}
