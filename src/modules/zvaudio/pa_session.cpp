// The PortAudio session. Once the JACK server that PortAudio found at its
// start has gone, PortAudio's termination fails an assertion and ends the
// process, whether a new server runs or not: the session is then kept for
// the life of the process, and only its other host APIs stay usable. A JACK
// client of our own tells when that server goes.
#include "engine.h"
#include "platform.h"

#include <cctype>
#include <jack/jack.h>
#include <pa_jack.h>

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

void *watch_open(void *arg)
{
	(void)arg;
	jack_status_t status;
	watch = jack_client_open("zorvane-watch", JackNoStartServer, &status);
	if (!watch) {
		watch_missing = true;
		return nullptr;
	}
	jack_on_shutdown(watch, on_jack_shutdown, nullptr);
	return nullptr;
}

// The watch opens on a thread of its own while PortAudio opens and starts
// the streams, which mostly wait for the server's cycles. Until it has
// opened (zvaudio_watch_settle), a loss of the server goes unnoticed; a
// watch that then fails to open keeps the session, as one lost before
// would.
pthread_t watch_opener;
bool watch_opening;

void watch_begin()
{
	jack_lost = false;
	watch_missing = false;
	if (Pa_HostApiTypeIdToHostApiIndex(paJACK) < 0)
		return;
	watch_opening = zv_thread_create(&watch_opener, watch_open, nullptr) == 0;
	if (!watch_opening)
		watch_open(nullptr);
}

// "^name:" with every character of the name that could mean something to
// a regular expression escaped.
void port_pattern(char *pattern, size_t size, const char *name)
{
	size_t n = 0;
	pattern[n++] = '^';
	for (; *name && n + 3 < size; ++name) {
		if (!std::isalnum(static_cast<unsigned char>(*name)))
			pattern[n++] = '\\';
		pattern[n++] = *name;
	}
	pattern[n++] = ':';
	pattern[n] = '\0';
}

}

void zvaudio_watch_settle()
{
	if (watch_opening)
		pthread_join(watch_opener, nullptr);
	watch_opening = false;
}

// PortAudio disconnects a stream's ports one by one as it stops the stream,
// and after each disconnection JACK makes the next look at a port wait 1.1
// periods for the graph to change. Our client takes every connection of
// PortAudio's client away in one go, looking at all of them before it
// changes any, so that the stop finds nothing left to disconnect.
void zvaudio_jack_unplug()
{
	zvaudio_watch_settle();
	const char *name = nullptr;
	if (!watch || jack_lost.load() || PaJack_GetClientName(&name) != paNoError || !name)
		return;
	char pattern[160];
	port_pattern(pattern, sizeof(pattern), name);
	const char **own = jack_get_ports(watch, pattern, nullptr, 0);
	if (!own)
		return;
	// At most 64 input channels and two output channels.
	constexpr size_t most = 66;
	const char **links[most] = {};
	bool out[most] = {};
	size_t ports = 0;
	for (; own[ports] && ports < most; ++ports) {
		jack_port_t *port = jack_port_by_name(watch, own[ports]);
		links[ports] = port ? jack_port_get_all_connections(watch, port) : nullptr;
		out[ports] = port && (jack_port_flags(port) & JackPortIsOutput);
	}
	for (size_t i = 0; i < ports; ++i) {
		if (!links[i])
			continue;
		for (const char **other = links[i]; *other; ++other)
			jack_disconnect(watch, out[i] ? own[i] : *other, out[i] ? *other : own[i]);
		jack_free(links[i]);
	}
	jack_free(own);
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

int zvaudio_pa_restart()
{
	if (!zvaudio_pa_end())
		return 0;
	PaError pa = zvaudio_pa_begin();
	if (pa != paNoError) {
		warning("zvaudio: Pa_Initialize: %s\n", Pa_GetErrorText(pa));
		return ENODEV;
	}
	info("zvaudio: %s\n", Pa_GetVersionText());
	return 0;
}

bool zvaudio_jack_lost()
{
	return jack_lost.load();
}

bool zvaudio_pa_end()
{
	if (!zva.pa_initialised)
		return true;
	zvaudio_watch_settle();
	if (jack_lost.load()) {
		warning("zvaudio: the JACK server went away, PortAudio stays up until the program ends\n");
		// Our own client of the lost server has told all it can.
		if (watch)
			jack_client_close(watch);
		watch = nullptr;
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
