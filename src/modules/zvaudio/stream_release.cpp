// Release of the stream state. A stream whose JACK server went away is
// neither active nor stopped: PortAudio's abort of it waits ten minutes for
// a process cycle that never comes, and once it has given up, the close
// fails an assertion that ends the process. Such streams stay open for the
// life of the process (the session is kept too). Any other stream that is
// neither active nor stopped is closed by a thread of its own, so that the
// main loop runs on; PortAudio is not called again until that thread is
// done. The state is taken out of the callbacks' reach first, and its
// buffers are freed as soon as no callback runs on them.
#include "engine.h"
#include "platform.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>

namespace {

// For the life of the process: a closer may outlive the module.
std::mutex closer_mutex;
std::condition_variable closer_done;
int closers;

// How long the main thread waits for a closer before it goes on without it:
// a stream of a live server closes within a few periods.
constexpr auto closer_grace = std::chrono::milliseconds(250);

struct closing_streams {
	PaStream *in;
	PaStream *out;
	bool jack;
};

bool closes_at_once(PaStream *s)
{
	return !s || Pa_IsStreamActive(s) == 1 || Pa_IsStreamStopped(s) == 1;
}

// Pa_CloseStream aborts a stream that is not stopped, and closes it only
// when the abort succeeded.
void close_streams(const closing_streams &c)
{
	for (PaStream *s : {c.in, c.out})
		if (s && !(c.jack && zvaudio_jack_lost()))
			Pa_CloseStream(s);
}

void *closer_main(void *arg)
{
	auto *c = static_cast<closing_streams *>(arg);
	close_streams(*c);
	delete c;
	{
		std::lock_guard<std::mutex> lock(closer_mutex);
		--closers;
	}
	closer_done.notify_all();
	return nullptr;
}

// A stream of a device that died may be in its last callback, and one of
// a lost JACK server may never be stopped: the state goes only once
// neither callback still runs on it.
zvaudio_stream_state *detach_state()
{
	zvaudio_stream_state *st = zva.stream.exchange(nullptr);
	zva.input_calls.wait_out();
	zva.output_calls.wait_out();
	return st;
}

// Streams that stop at once: their JACK connections go first, then each
// is aborted and closed. A JACK server that goes away during the abort
// ends it; closing the stream then would fail an assertion in PortAudio.
void close_now(const zvaudio_stream_state *st)
{
	if (st->jack && (st->in_stream || st->out_stream))
		zvaudio_jack_unplug();
	for (PaStream *s : {st->in_stream, st->out_stream}) {
		if (!s)
			continue;
		Pa_AbortStream(s);
		if (!(st->jack && zvaudio_jack_lost()))
			Pa_CloseStream(s);
	}
}

// The state without its streams, which are closed or kept by now.
void free_state(zvaudio_stream_state *st)
{
	st->in_stream = st->out_stream = nullptr;
	mem_deref(st);
}

}

void zvaudio_stream_release()
{
	zvaudio_stream_state *st = detach_state();
	if (!st)
		return;
	if (st->jack && zvaudio_jack_lost()) {
		if (st->in_stream || st->out_stream)
			warning("zvaudio: the streams of the lost JACK server stay open\n");
		free_state(st);
		return;
	}
	if (closes_at_once(st->in_stream) && closes_at_once(st->out_stream)) {
		close_now(st);
		free_state(st);
		return;
	}

	// The streams still running are stopped; the others have ended.
	if (st->in_stream && Pa_IsStreamActive(st->in_stream) == 1)
		Pa_AbortStream(st->in_stream);
	if (st->out_stream && Pa_IsStreamActive(st->out_stream) == 1)
		Pa_AbortStream(st->out_stream);
	auto *c = new (std::nothrow) closing_streams{st->in_stream, st->out_stream, st->jack};
	if (!c) {
		close_now(st);
		free_state(st);
		return;
	}
	free_state(st);

	std::unique_lock<std::mutex> lock(closer_mutex);
	pthread_t thread;
	++closers;
	if (zv_thread_create(&thread, closer_main, c)) {
		--closers;
		lock.unlock();
		warning("zvaudio: no thread to close the streams, closing them here\n");
		close_streams(*c);
		delete c;
		return;
	}
	pthread_detach(thread);
	if (!closer_done.wait_for(lock, closer_grace, [] { return closers == 0; }))
		warning("zvaudio: the stopped streams are still closing\n");
}

bool zvaudio_streams_closing()
{
	std::lock_guard<std::mutex> lock(closer_mutex);
	return closers > 0;
}
