// Release of the stream state. A stream whose JACK server went away is
// neither active nor stopped, and PortAudio's abort and close of it wait for
// a process cycle that never comes (PortAudio gives up after ten minutes).
// Such streams are closed by a thread of their own, so that the main loop
// runs on; PortAudio is not touched again until that thread is done. The
// state's buffers are freed at once: no callback reaches them any more.
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
};

bool closes_at_once(PaStream *s)
{
	return !s || Pa_IsStreamActive(s) == 1 || Pa_IsStreamStopped(s) == 1;
}

void close_streams(const closing_streams &c)
{
	for (PaStream *s : {c.in, c.out}) {
		if (s) {
			Pa_AbortStream(s);
			Pa_CloseStream(s);
		}
	}
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

}

void zvaudio_stream_release()
{
	zvaudio_stream_state *st = zva.stream;
	if (!st)
		return;
	if (closes_at_once(st->in_stream) && closes_at_once(st->out_stream)) {
		zva.stream = static_cast<zvaudio_stream_state *>(mem_deref(st));
		return;
	}

	// No callback reaches the state once the streams still running are
	// stopped: the others have ended already.
	if (st->in_stream && Pa_IsStreamActive(st->in_stream) == 1)
		Pa_AbortStream(st->in_stream);
	if (st->out_stream && Pa_IsStreamActive(st->out_stream) == 1)
		Pa_AbortStream(st->out_stream);
	auto *c = new (std::nothrow) closing_streams{st->in_stream, st->out_stream};
	if (c)
		st->in_stream = st->out_stream = nullptr;
	zva.stream = static_cast<zvaudio_stream_state *>(mem_deref(st));
	if (!c)
		return;

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
