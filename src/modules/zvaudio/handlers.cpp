// The handlers that the program around the engine registered, and the
// engine's defaults where it registered none.
#include "engine.h"

namespace {

// Read by the calls' thread, replaced by the main thread.
std::atomic<const struct zvaudio_handlers *> handlers{nullptr};

}

void zvaudio_handlers_set(const struct zvaudio_handlers *h)
{
	handlers.store(h, std::memory_order_release);
}

void zvaudio_track_play(struct track *t, int16_t *sampv, auplay_write_h *wh, size_t samples,
			void *arg)
{
	const struct zvaudio_handlers *h = handlers.load(std::memory_order_acquire);
	if (h && h->play) {
		h->play(t->id, sampv, wh, samples, arg);
		return;
	}
	struct auframe af;
	auframe_init(&af, AUFMT_S16LE, sampv, samples);
	wh(&af, arg);
}

void zvaudio_devices_changed()
{
	const struct zvaudio_handlers *h = handlers.load(std::memory_order_acquire);
	if (h && h->devices_changed)
		h->devices_changed();
}

void zvaudio_recording_failed(const char *text)
{
	const struct zvaudio_handlers *h = handlers.load(std::memory_order_acquire);
	if (h && h->record_failed)
		h->record_failed(text);
	else
		zvaudio_record_set(false);
}
