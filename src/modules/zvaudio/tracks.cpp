// The eight tracks from module init to module close, and the call tracks as
// the program around the engine reaches them: by id, on the main thread.
#include "engine.h"
#include "record.h"

#include <new>

namespace {

void track_destructor(void *arg)
{
	auto *t = static_cast<struct track *>(arg);
	mem_deref(t->writer);
	record_fifo_free(t->ab);
	mem_deref(t->meter_buf);
	mem_deref(t->mixminus);
	call_path_free(t->path);
	list_unlink(&t->le);
	t->~track();
}

struct track *track_alloc()
{
	void *mem = mem_zalloc(sizeof(struct track), track_destructor);
	if (!mem)
		return nullptr;
	auto *t = new (mem) track();
	list_append(&zva.track_list, &t->le, t);
	return t;
}

// A call track's mix-minus and its audio path to the calls' thread.
int call_track_init(struct track *t)
{
	t->mixminus =
		static_cast<int32_t *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(int32_t), nullptr));
	t->path = call_path_alloc();
	return t->mixminus && t->path ? 0 : ENOMEM;
}

}

int zvaudio_tracks_init()
{
	struct track *t = track_alloc();
	if (!t)
		return ENOMEM;
	t->local = true;
	if (zvaudio_record_writer_alloc(t))
		return ENOMEM;

	for (uint32_t k = 1; k <= ZVAUDIO_CALL_TRACKS; ++k) {
		t = track_alloc();
		if (!t)
			return ENOMEM;
		t->ch = static_cast<int8_t>(2 * k - 1);
		t->id = k;
		t->meter_buf =
			static_cast<float *>(mem_zalloc(ZV_PERIOD_VALUES * sizeof(float), nullptr));
		if (!t->meter_buf || call_track_init(t) || zvaudio_record_writer_alloc(t))
			return ENOMEM;
	}

	t = track_alloc();
	if (!t)
		return ENOMEM;
	t->ch = 13;
	t->id = ZVAUDIO_STREAM_TRACK;
	t->is_stream_track = true;
	return call_track_init(t);
}

void zvaudio_tracks_close()
{
	zvaudio_unbind_all();
	struct le *le = zva.track_list.head;
	while (le) {
		struct le *next = le->next;
		mem_deref(le->data);
		le = next;
	}
}

struct track *zvaudio_track_find(uint32_t id)
{
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (!t->local && t->id == id)
			return t;
	}
	return nullptr;
}

bool zvaudio_track_exists(uint32_t id)
{
	return zvaudio_track_find(id) != nullptr;
}

struct call *zvaudio_track_call(uint32_t id)
{
	const struct track *t = zvaudio_track_find(id);
	return t ? t->call : nullptr;
}

int zvaudio_track_bind(uint32_t id, struct call *call)
{
	struct track *t = zvaudio_track_find(id);
	if (!t)
		return ENOENT;
	t->call = call;
	return 0;
}

void zvaudio_track_unbind(uint32_t id)
{
	if (struct track *t = zvaudio_track_find(id))
		t->call = nullptr;
}

int zvaudio_track_meter_slot(uint32_t id)
{
	const struct track *t = zvaudio_track_find(id);
	return t ? t->ch : -1;
}
