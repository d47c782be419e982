// The call tracks' receive figures, for the page's statistics and once in
// a while for the log. Main thread.
#include "engine.h"
#include "receive.h"

#include <ctime>

namespace {

constexpr uint64_t REPORT_MS = 1000;

// The binding is the main loop's own; the figures are the calls' thread's,
// read without waiting for it.
bool copy_figures(const struct track *t, struct zvaudio_receive_figures *f)
{
	if (!t->path || !t->path->receive->strm)
		return false;
	*f = t->path->receive->figures.load();
	return true;
}

}

bool zvaudio_track_receive(uint32_t id, struct zvaudio_receive_figures *f)
{
	const struct track *t = zvaudio_track_find(id);
	return t && f && copy_figures(t, f);
}

void zvaudio_receive_report(void *arg)
{
	(void)arg;
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	const int64_t now_ns = int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		struct zvaudio_receive_figures f;
		if (t->local || !copy_figures(t, &f))
			continue;
		char name[16];
		if (t->is_stream_track)
			re_snprintf(name, sizeof(name), "the stream");
		else
			re_snprintf(name, sizeof(name), "track %u", t->id);
		receive_log(t->path->receive, name, &f, now_ns);
	}
	tmr_start(&zva.receive_timer, REPORT_MS, zvaudio_receive_report, nullptr);
}
