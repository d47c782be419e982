#include "event.h"

#include "account.h"
#include "account_reason.h"
#include "events.h"
#include "listener.h"
#include "media_timeout.h"
#include "session.h"
#include "stream_state.h"
#include "webapp.h"
#include "ws.h"

namespace {

// The account's mark and, for the accounts table, why it is not online.
void account_status(const char *aor, bool online, const char *reason)
{
	webapp_account_status_set(aor, online);
	const bool changed = webapp_account_reason_set(aor, reason);
	webapp_ws_send_json(WS_BARESIP, webapp_accounts());
	if (changed)
		webapp_account_reasons_send();
}

void call_incoming(struct ua *ua, struct call *call)
{
	if (!webapp_track_any_free()) {
		ua_hangup(ua, call, 486, "Max Calls");
		return;
	}

	webapp_media_timeout_set(call);
	const uint32_t n = webapp_session_update(call, webapp_state_incoming);
	if (!n)
		return;

	if (webapp_auto_answer) {
		debug("auto answering call\n");
		(void)ua_answer(ua, call, VIDMODE_OFF);
		return;
	}
	webapp_session_send_incoming(call_peeruri(call), n);
}

void call_closed(struct call *call, const char *text)
{
	if (!webapp_hangup_in_progress())
		webapp_session_send_closed(webapp_media_closed_text(text));
	webapp_session_close(nullptr, call);
	webapp_session_send_calls();
}

}

void webapp_event_handler(enum ua_event ev, struct ua *ua, struct call *call, const char *text,
			  void *)
{
	const char *aor = ua ? account_aor(ua_account(ua)) : nullptr;

	switch (ev) {
	case UA_EVENT_REGISTER_OK:
		account_status(aor, true, nullptr);
		break;
	case UA_EVENT_REGISTER_FAIL:
		warning("webapp: Register Fail: %s\n", aor);
		account_status(aor, false, text);
		break;
	case UA_EVENT_UNREGISTERING:
		warning("webapp: unregistering: %s\n", aor);
		account_status(aor, false, nullptr);
		break;
	case UA_EVENT_SHUTDOWN:
		// The library is about to free this agent's calls without
		// closing events.
		webapp_sessions_drop_ua(ua);
		break;
	case UA_EVENT_CALL_INCOMING:
		call_incoming(ua, call);
		break;
	case UA_EVENT_CALL_ESTABLISHED:
		webapp_session_update(call, webapp_state_established);
		webapp_stream_call_event(call, true, text);
		break;
	case UA_EVENT_CALL_CLOSED:
	case UA_EVENT_CALL_TRANSFER_FAILED: // the library frees the call after it
		webapp_stream_call_event(call, false, text);
		call_closed(call, text);
		break;
	default:
		break;
	}
}

void webapp_events_init(void)
{
	if (int err = zv_event_register(webapp_event_handler, nullptr))
		warning("webapp: event handler not registered (%H)\n", ZV_ERRNO(err));
}

void webapp_events_close(void)
{
	zv_event_unregister();
	webapp_account_reasons_close();
}
