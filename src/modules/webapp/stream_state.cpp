#include "stream_state.h"

#include "ws.h"
#include "zvaudio.h"

namespace {

const char *state = "off";
char reason[256];

}

void webapp_stream_state_set(const char *to, const char *why)
{
	if (!str_cmp(state, to) && !str_cmp(reason, why ? why : ""))
		return;
	state = to;
	str_ncpy(reason, why ? why : "", sizeof(reason));
	webapp_stream_state_send();
}

void webapp_stream_call_event(const struct call *call, bool established, const char *text)
{
	if (!call || zvaudio_track_call(ZVAUDIO_STREAM_TRACK) != call)
		return;
	if (established)
		webapp_stream_state_set("live", nullptr);
	else
		webapp_stream_state_set("not connected", str_isset(text) ? text : "the call ended");
}

void webapp_stream_state_send(void)
{
	struct odict *o = nullptr;
	if (odict_alloc(&o, 4))
		return;
	int err = odict_entry_add(o, "callback", ODICT_STRING, "ONAIR");
	err |= odict_entry_add(o, "state", ODICT_STRING, state);
	err |= odict_entry_add(o, "reason", ODICT_STRING, reason);
	if (!err)
		webapp_ws_send_json(WS_CALLS, o);
	mem_deref(o);
}

void webapp_stream_state_push(void)
{
	if (str_cmp(state, "off"))
		webapp_stream_state_send();
}
