#include "stream.h"

#include <cctype>
#include <cerrno>
#include <cstring>

#include "account.h"
#include "account_ua.h"
#include "events.h"
#include "media_timeout.h"
#include "platform.h"
#include "service.h"
#include "session.h"
#include "stream_state.h"
#include "zvaudio.h"

const char webapp_stream_account[] = "stream@" ZV_SERVICE_SIP_DOMAIN;
const char webapp_stream_uri[] = "sip:stream@" ZV_SERVICE_SIP_DOMAIN ";transport=tls";

namespace {

constexpr size_t uuid_length = 36;

constexpr uint64_t reconnect_ms = 2000;

// Set when a stream call of ours takes the stream track, cleared by the
// stream's stop.
bool wanted;
struct tmr reconnect_tmr;

// The stream track holds a call that we placed and the library still has.
bool stream_live()
{
	struct call *call = zvaudio_track_call(ZVAUDIO_STREAM_TRACK);
	return zv_call_alive(call) && call_is_outgoing(call);
}

// 8-4-4-4-12 hexadecimal digits, as the installation UUID is written.
bool is_uuid(const char *s, size_t n)
{
	if (n != uuid_length)
		return false;
	for (size_t i = 0; i < n; ++i) {
		const bool hyphen = i == 8 || i == 13 || i == 18 || i == 23;
		const auto c = static_cast<unsigned char>(s[i]);
		if (hyphen ? c != '-' : !isxdigit(c))
			return false;
	}
	return true;
}

// The installation UUID without the blanks and line ends that its file may
// leave around it; false when what remains is no UUID.
bool installation_uuid(char (&uuid)[uuid_length + 1])
{
	const struct config *cfg = conf_config();
	if (!cfg)
		return false;
	const char *s = cfg->sip.uuid;
	size_t n = strnlen(s, sizeof(cfg->sip.uuid));
	while (n && isspace(static_cast<unsigned char>(*s))) {
		++s;
		--n;
	}
	while (n && isspace(static_cast<unsigned char>(s[n - 1])))
		--n;
	if (!is_uuid(s, n))
		return false;
	memcpy(uuid, s, n);
	uuid[n] = '\0';
	return true;
}

void login_page_open()
{
	char uuid[uuid_length + 1];
	if (!installation_uuid(uuid)) {
		warning("webapp/option: the installation UUID is not valid: the stream login page "
			"is not opened\n");
		return;
	}
	char url[255];
	re_snprintf(url, sizeof(url), "https://%s/stream/login/%s?version=2",
		    webapp_service_stream_host, uuid);
	if (zv_shell_open(url))
		warning("webapp/option: could not open %s\n", url);
}

// Places the stream call from the main user agent. 0 with *callp set (the
// stream is connecting); else the page has been told by the CLOSED message
// of the stream account, and the error is returned.
int dial(struct call **callp)
{
	struct ua *ua = webapp_ua_main();
	if (!ua) {
		webapp_call_error(webapp_stream_account, EINVAL);
		return EINVAL;
	}

	char *uri = nullptr;
	int err = zv_account_uri_complete_strdup(ua_account(ua), &uri, webapp_stream_account);
	if (err) {
		webapp_call_error(webapp_stream_account, err);
		return err;
	}

	err = ua_connect(ua, callp, nullptr, uri, VIDMODE_OFF);
	if (err) {
		warning("zv_ua_connect: %s: %H\n", uri, ZV_ERRNO(err));
		webapp_call_error(webapp_stream_account, err);
	}
	else {
		webapp_media_timeout_set(*callp);
		webapp_stream_state_set("connecting", nullptr);
	}
	mem_deref(uri);
	return err;
}

// The reconnect: places the stream call again while the stream is wanted
// and no stream call runs.
void stream_check(void *)
{
	if (!zvaudio_track_exists(ZVAUDIO_STREAM_TRACK) || !wanted || stream_live())
		return;

	info("webapp/stream_check: reconnect\n");
	struct call *call = nullptr;
	if (!dial(&call))
		zvaudio_track_bind(ZVAUDIO_STREAM_TRACK, call);
}

void taken()
{
	wanted = true;
}

void closed()
{
	if (wanted)
		tmr_start(&reconnect_tmr, reconnect_ms, stream_check, nullptr);
}

const webapp_session_stream session_stream = {webapp_stream_uri, taken, closed};

}

void webapp_stream_init(void)
{
	tmr_init(&reconnect_tmr);
	webapp_session_stream_set(&session_stream);
}

void webapp_stream_close(void)
{
	webapp_session_stream_set(nullptr);
	tmr_cancel(&reconnect_tmr);
}

void webapp_stream_start(void)
{
	login_page_open();
	if (stream_live())
		return;

	struct call *call = nullptr;
	if (dial(&call))
		return;
	webapp_session_update(call, webapp_state_outgoing);
}

int webapp_stream_stop(void)
{
	wanted = false;
	if (!zvaudio_track_exists(ZVAUDIO_STREAM_TRACK))
		return 0;

	webapp_session_hangup(zvaudio_track_call(ZVAUDIO_STREAM_TRACK));
	zvaudio_track_unbind(ZVAUDIO_STREAM_TRACK);
	webapp_stream_state_set("off", nullptr);
	return 0;
}
