#include "session_dial.h"

#include <cerrno>
#include <cmath>

#include "account_ua.h"
#include "media_timeout.h"
#include "session.h"
#include "ws.h"

namespace {

const char empty_number_reply[] =
	"{ \"callback\": \"CLOSED\",\t\"message\": \"SIP Number Empty\" }";
const char busy_track_reply[] =
	"{ \"callback\": \"CLOSED\",\t\"message\": \"Track is not available\" }";
const char no_track_reply[] =
	"{ \"callback\": \"CLOSED\",\t\"message\": \"Max Calls reached...\" }";

// The track number of "track": a number whose value, truncated toward zero,
// is an unsigned 32-bit value. False for anything else.
bool requested_track(const struct odict *msg, uint32_t *t)
{
	const struct odict_entry *e = odict_lookup(msg, "track");
	if (!e)
		return false;
	double v;
	if (e->type == ODICT_INT)
		v = static_cast<double>(e->u.integer);
	else if (e->type == ODICT_DOUBLE)
		v = std::trunc(e->u.dbl);
	else
		return false;
	if (!(v >= 0.0 && v <= 4294967295.0))
		return false;
	*t = static_cast<uint32_t>(v);
	return true;
}

int dial(const char *text, uint32_t t)
{
	struct ua *ua = webapp_ua_current();
	if (!ua || !text || !webapp_dial_text_valid(text))
		return EINVAL;

	char *uri = nullptr;
	int err = zv_account_uri_complete_strdup(ua_account(ua), &uri, text);
	if (err)
		return err;

	struct call *call = nullptr;
	err = ua_connect(ua, &call, nullptr, uri, VIDMODE_OFF);
	if (err)
		warning("zv_ua_connect: %s: %H\n", uri, ZV_ERRNO(err));
	mem_deref(uri);
	if (err)
		return err;

	webapp_media_timeout_set(call);
	webapp_session_update_track(call, webapp_state_outgoing, t);
	return 0;
}

}

bool webapp_dial_text_valid(const char *text)
{
	for (const char *p = text; *p; ++p) {
		const auto c = static_cast<unsigned char>(*p);
		if (c <= 0x20 || c == 0x7f || c == '<' || c == '>' || c == '"')
			return false;
	}
	return true;
}

void webapp_session_dial_command(const struct odict *msg)
{
	const char *text = odict_string(msg, "dial");
	if (text && !*text) {
		webapp_ws_send_text(WS_CALLS, empty_number_reply);
		return;
	}

	uint32_t t = 0;
	if (requested_track(msg, &t)) {
		if (!webapp_track_free(t)) {
			webapp_ws_send_text(WS_CALLS, t ? busy_track_reply : no_track_reply);
			return;
		}
	}
	else if (!webapp_track_free(0)) {
		webapp_ws_send_text(WS_CALLS, no_track_reply);
		return;
	}

	if (int err = dial(text, t))
		webapp_call_error(text ? text : "", err);
}
