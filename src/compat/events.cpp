#include "events.h"

namespace {

zv_event_h *event_handler;
void *event_arg;

bool limit_saved;
uint32_t limit_configured;

void on_event(struct ua *ua, enum ua_event ev, struct call *call, const char *prm, void *)
{
	if (!ua && call)
		ua = call_get_ua(call);
	if (event_handler)
		event_handler(ev, ua, call, prm ? prm : "", event_arg);
}

}

int zv_event_register(zv_event_h *h, void *arg)
{
	if (!h)
		return EINVAL;
	event_handler = h;
	event_arg = arg;
	return uag_event_register(on_event, nullptr);
}

void zv_event_unregister(void)
{
	uag_event_unregister(on_event);
	event_handler = nullptr;
	event_arg = nullptr;
}

void zv_call_limit_set(bool room)
{
	struct config *cfg = conf_config();
	if (!cfg)
		return;
	if (!limit_saved) {
		limit_configured = cfg->call.max_calls;
		limit_saved = true;
	}
	cfg->call.max_calls = room ? limit_configured : 1;
}

void zv_call_limit_restore(void)
{
	struct config *cfg = conf_config();
	if (cfg && limit_saved)
		cfg->call.max_calls = limit_configured;
	limit_saved = false;
}

bool zv_call_alive(const struct call *call)
{
	if (!call)
		return false;
	for (struct le *le = list_head(uag_list()); le; le = le->next) {
		const auto *ua = static_cast<const struct ua *>(le->data);
		for (struct le *lc = list_head(ua_calls(ua)); lc; lc = lc->next) {
			if (lc->data == call)
				return true;
		}
	}
	return false;
}
