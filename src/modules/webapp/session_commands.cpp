#include "session_commands.h"

#include "dtmf_key.h"
#include "session.h"
#include "session_dial.h"
#include "ws.h"
#include "ws_dispatch.h"

namespace {

const char *key_of(const struct odict *msg)
{
	return odict_string(msg, "key");
}

void accept_command(const struct odict *msg)
{
	if (struct call *call = webapp_session_call(key_of(msg)))
		(void)ua_answer(call_get_ua(call), call, VIDMODE_OFF);
}

void hangup_command(const struct odict *msg)
{
	const char *key = key_of(msg);
	if (webapp_session_call(key))
		webapp_session_close(key, nullptr);
}

void chmix_command(const struct odict *msg)
{
	const char *key = key_of(msg);
	if (webapp_session_call(key))
		webapp_session_chmix(key);
}

void volume_command(const struct odict *msg)
{
	const char *key = key_of(msg);
	const char *value = odict_string(msg, "value");
	if (value && webapp_session_call(key))
		webapp_session_volume(key, value);
}

void dtmf_command(const struct odict *msg)
{
	const char *tone = odict_string(msg, "tone");
	if (!tone)
		return;
	if (struct call *call = webapp_session_call(key_of(msg)))
		(void)webapp_dtmf_press(call, tone[0]);
}

const webapp_ws_command call_commands[] = {
	{WS_BARESIP, "call", webapp_session_dial_command},
	{WS_CALLS, "accept", accept_command},
	{WS_CALLS, "hangup", hangup_command},
	{WS_CALLS, "chmix", chmix_command},
	{WS_CALLS, "volume", volume_command},
	{WS_CALLS, "dtmf", dtmf_command},
};

}

void webapp_session_commands_set(bool on)
{
	webapp_ws_commands_set(call_commands, on);
}
