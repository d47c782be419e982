// The SIP library's audio source and player on the driver "zvaudio": each
// state binds to one track, and the engine period serves it from there.
#include "engine.h"
#include "receive.h"

namespace {

constexpr size_t sampv_bytes = ZV_PERIOD_VALUES * sizeof(int16_t);

bool format_ok(uint32_t srate, uint8_t ch, int fmt)
{
	return srate == ZV_RATE && ch == 2 && fmt == AUFMT_S16LE;
}

// The track for the call whose audio object is arg: the track holding that
// call, else the first track in list order that has a call and a free slot.
// Binding by list order alone would put a call's audio on another call's
// track when two calls start their audio in the other order.
struct track *track_for(void *arg, bool player)
{
	struct track *first = nullptr;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->local || !t->call || (player ? t->play_active : t->src_active))
			continue;
		if (arg && call_audio(t->call) == arg)
			return t;
		if (!first)
			first = t;
	}
	return first;
}

void play_destructor(void *arg)
{
	auto *st = static_cast<struct auplay_st *>(arg);
	info("zvaudio: destruct auplay\n");
	bool unbound = false;
	{
		std::lock_guard<std::mutex> lock(engine_lock);
		struct track *t = st->track;
		if (t && t->play == st) {
			t->play_active.store(false, std::memory_order_release);
			t->play = nullptr;
			unbound = true;
		}
	}
	// The calls' thread no longer reaches the call's decoders.
	if (unbound && st->audio)
		receive_unbind(st->track->path->receive);
	mem_deref(st->sampv);
}

void src_destructor(void *arg)
{
	auto *st = static_cast<struct ausrc_st *>(arg);
	info("zvaudio: destruct ausrc\n");
	{
		std::lock_guard<std::mutex> lock(engine_lock);
		struct track *t = st->track;
		if (t && t->src == st) {
			t->src_active.store(false, std::memory_order_release);
			t->src = nullptr;
		}
	}
	mem_deref(st->sampv);
}

}

int zvaudio_play_alloc(struct auplay_st **stp, const struct auplay *ap, struct auplay_prm *prm,
		       const char *device, auplay_write_h *wh, void *arg)
{
	(void)ap;
	(void)device;
	if (!stp || !prm)
		return EINVAL;
	if (!format_ok(prm->srate, prm->ch, prm->fmt)) {
		warning("zvaudio: unsupported player format %uHz/%uch/%s, check auplay_srate/auplay_channels config\n",
			prm->srate, prm->ch, aufmt_name(static_cast<enum aufmt>(prm->fmt)));
		return ENOTSUP;
	}
	struct track *t = track_for(arg, true);
	if (!t)
		return EINVAL;

	auto *st = static_cast<struct auplay_st *>(
		mem_zalloc(sizeof(struct auplay_st), play_destructor));
	if (!st)
		return ENOMEM;
	st->track = t;
	st->prm = *prm;
	st->wh = wh;
	st->arg = arg;
	st->sampc = prm->srate * prm->ptime * prm->ch / 1000;
	// The library's write handler argument is the call's audio object.
	if (arg && t->call && call_audio(t->call) == arg)
		st->audio = static_cast<struct audio *>(arg);

	st->sampv = static_cast<int16_t *>(mem_zalloc(sampv_bytes, nullptr));
	if (!st->sampv) {
		mem_deref(st);
		return ENOMEM;
	}

	st->run = true;
	call_path_commit(t->path);
	{
		std::lock_guard<std::mutex> lock(engine_lock);
		t->play = st;
		++t->path->play_generation;
		t->play_active.store(true, std::memory_order_release);
	}
	if (st->audio)
		receive_bind(t->path->receive, st->audio, t->path->play_generation);
	*stp = st;
	return 0;
}

int zvaudio_src_alloc(struct ausrc_st **stp, const struct ausrc *as, struct media_ctx **ctx,
		      struct ausrc_prm *prm, const char *device, ausrc_read_h *rh,
		      ausrc_error_h *errh, void *arg)
{
	(void)as;
	(void)ctx;
	(void)device;
	(void)errh;
	if (!stp || !prm)
		return EINVAL;
	if (!format_ok(prm->srate, prm->ch, prm->fmt)) {
		warning("zvaudio: unsupported source format %uHz/%uch/%s, check ausrc_srate/ausrc_channels config\n",
			prm->srate, prm->ch, aufmt_name(static_cast<enum aufmt>(prm->fmt)));
		return ENOTSUP;
	}
	struct track *t = track_for(arg, false);
	if (!t)
		return EINVAL;

	auto *st =
		static_cast<struct ausrc_st *>(mem_zalloc(sizeof(struct ausrc_st), src_destructor));
	if (!st)
		return ENOMEM;
	st->track = t;
	st->prm = *prm;
	st->rh = rh;
	st->arg = arg;
	st->sampc = prm->srate * prm->ptime * prm->ch / 1000;

	st->sampv = static_cast<int16_t *>(mem_zalloc(sampv_bytes, nullptr));
	if (!st->sampv) {
		mem_deref(st);
		return ENOMEM;
	}

	st->run = true;
	call_path_commit(t->path);
	{
		std::lock_guard<std::mutex> lock(engine_lock);
		t->src = st;
		t->src_active.store(true, std::memory_order_release);
	}
	*stp = st;
	return 0;
}

void zvaudio_unbind_all()
{
	std::lock_guard<std::mutex> lock(engine_lock);
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->play || t->src)
			warning("zvaudio: track %u still bound at close\n", t->id);
		if (t->play)
			t->play->track = nullptr;
		if (t->src)
			t->src->track = nullptr;
		if (t->path)
			receive_unbind(t->path->receive);
		t->play = nullptr;
		t->src = nullptr;
		t->play_active = false;
		t->src_active = false;
	}
}
