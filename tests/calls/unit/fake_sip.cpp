#include "fake_sip.h"

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <map>

#include "account.h"
#include "account_ua.h"
#include "listener.h"
#include "webapp.h"
#include "ws.h"
#include "ws_dispatch.h"
#include "zvaudio.h"

namespace fake {

std::vector<pushed> pushes;
std::vector<std::string> warnings;
std::vector<std::string> hangups;
std::vector<std::string> connects;
std::vector<std::string> status_marks;
int connect_error;
struct ua *current_ua;

namespace {

struct list uas;
// The engine's call tracks by id: the stream's 0 and the callers' 1 to 6.
struct call *track_calls[ZVAUDIO_CALL_TRACKS + 1];
struct config cfg;
ua_event_h *handler;
void *handler_arg;
std::map<std::string, command_h *> commands;
std::vector<struct ua *> ua_store;
std::vector<struct call *> call_store;
struct odict *accounts_dict;

std::string key(int endpoint, const char *name)
{
	return std::to_string(endpoint) + "/" + name;
}

std::string vformat(const char *fmt, va_list ap)
{
	char buf[1024];
	re_vsnprintf(buf, sizeof(buf), fmt, ap);
	return buf;
}

}

void free_all()
{
	for (struct call *c : call_store)
		delete c;
	call_store.clear();
	for (struct ua *u : ua_store)
		delete u;
	ua_store.clear();
	list_init(&uas);
}

void reset()
{
	free_all();
	pushes.clear();
	warnings.clear();
	hangups.clear();
	connects.clear();
	status_marks.clear();
	connect_error = 0;
	current_ua = nullptr;
	cfg = {};
	cfg.call.max_calls = 7;

	for (struct call *&c : track_calls)
		c = nullptr;
	if (!accounts_dict)
		odict_alloc(&accounts_dict, 8);
}

void clear_pushes()
{
	pushes.clear();
}

struct ua *ua_new(const char *aor)
{
	auto *u = new struct ua();
	u->aor = aor;
	list_init(&u->calls);
	list_append(&uas, &u->le, u);
	ua_store.push_back(u);
	return u;
}

struct call *call_new(struct ua *u, const char *peer, bool outgoing)
{
	auto *c = new struct call();
	c->ua = u;
	c->peer = peer;
	c->outgoing = outgoing;
	list_append(&u->calls, &c->le, c);
	call_store.push_back(c);
	return c;
}

void call_free_silently(struct call *c)
{
	list_unlink(&c->le);
}

void call_close(struct call *c, const char *text)
{
	emit(UA_EVENT_CALL_CLOSED, c->ua, c, text);
	call_free_silently(c);
}

void emit(enum ua_event ev, struct ua *u, struct call *c, const char *text)
{
	if (handler)
		handler(u, ev, c, text ? text : "", handler_arg);
}

void ua_destroy(struct ua *u)
{
	list_unlink(&u->le);
	emit(UA_EVENT_SHUTDOWN, u, nullptr, "");
	while (struct le *le = list_head(&u->calls))
		list_unlink(le);
}

command_h *command(int endpoint, const char *name)
{
	auto it = commands.find(key(endpoint, name));
	return it == commands.end() ? nullptr : it->second;
}

void page_command(int endpoint, const char *json)
{
	struct odict *o = nullptr;
	if (json_decode_odict(&o, 32, json, strlen(json), 8))
		return;
	if (const char *name = odict_string(o, "command")) {
		if (command_h *h = command(endpoint, name))
			h(o);
	}
	mem_deref(o);
}

struct call *track_call(uint32_t id)
{
	return track_calls[id];
}

uint32_t max_calls()
{
	return cfg.call.max_calls;
}

}

// The module's neighbours.

struct odict *webapp_calls;
bool webapp_auto_answer;

void webapp_ws_send_json(int endpoint, const struct odict *dict)
{
	char *text = nullptr;
	re_sdprintf(&text, "%H", json_encode_odict, dict);
	fake::pushes.push_back({endpoint, text ? text : ""});
	mem_deref(text);
}

void webapp_ws_send_text(int endpoint, const char *text)
{
	fake::pushes.push_back({endpoint, text});
}

int webapp_ws_command_set(int endpoint, const char *name, webapp_ws_command_h *h)
{
	fake::commands[fake::key(endpoint, name)] = h;
	return 0;
}

bool zvaudio_track_exists(uint32_t id)
{
	return id <= ZVAUDIO_CALL_TRACKS;
}

struct call *zvaudio_track_call(uint32_t id)
{
	return zvaudio_track_exists(id) ? fake::track_calls[id] : nullptr;
}

int zvaudio_track_bind(uint32_t id, struct call *call)
{
	if (!zvaudio_track_exists(id))
		return ENOENT;
	fake::track_calls[id] = call;
	return 0;
}

void zvaudio_track_unbind(uint32_t id)
{
	zvaudio_track_bind(id, nullptr);
}

int zvaudio_track_meter_slot(uint32_t id)
{
	if (!zvaudio_track_exists(id))
		return -1;
	return id == ZVAUDIO_STREAM_TRACK ? 13 : static_cast<int>(2 * id - 1);
}

void webapp_account_status_set(const char *aor, bool status)
{
	fake::status_marks.push_back(std::string(aor ? aor : "") + "=" + (status ? "1" : "0"));
}

struct odict *webapp_accounts(void)
{
	return fake::accounts_dict;
}

struct ua *webapp_ua_current(void)
{
	return fake::current_ua;
}

// The SIP library.
extern "C" {

void warning(const char *fmt, ...)
{
	va_list ap;
	va_start(ap, fmt);
	fake::warnings.push_back(fake::vformat(fmt, ap));
	va_end(ap);
}

void info(const char *, ...) {}
void debug(const char *, ...) {}

struct config *conf_config(void)
{
	return &fake::cfg;
}

int uag_event_register(ua_event_h *h, void *arg)
{
	fake::handler = h;
	fake::handler_arg = arg;
	return 0;
}

void uag_event_unregister(ua_event_h *h)
{
	if (fake::handler == h)
		fake::handler = nullptr;
}

struct list *uag_list(void)
{
	return &fake::uas;
}

struct list *ua_calls(const struct ua *ua)
{
	return const_cast<struct list *>(&ua->calls);
}

struct account *ua_account(const struct ua *ua)
{
	return ua ? reinterpret_cast<struct account *>(const_cast<struct ua *>(ua)) : nullptr;
}

const char *account_aor(const struct account *acc)
{
	return acc ? reinterpret_cast<const struct ua *>(acc)->aor.c_str() : nullptr;
}

int account_uri_complete(const struct account *acc, struct mbuf *buf, const char *uri)
{
	if (!buf || !uri)
		return EINVAL;
	int err = 0;
	if (strncmp(uri, "sip:", 4))
		err |= mbuf_printf(buf, "sip:");
	err |= mbuf_write_str(buf, uri);
	if (acc && !strchr(uri, '@'))
		err |= mbuf_printf(buf, "@127.0.0.1");
	return err;
}

const char *call_peeruri(const struct call *call)
{
	return call && !call->peer.empty() ? call->peer.c_str() : nullptr;
}

struct ua *call_get_ua(const struct call *call)
{
	return call ? call->ua : nullptr;
}

bool call_is_outgoing(const struct call *call)
{
	return call && call->outgoing;
}

int call_send_digit(struct call *call, char key)
{
	call->digits.push_back(key ? key : '0');
	return 0;
}

int ua_connect(struct ua *ua, struct call **callp, const char *, const char *req_uri,
	       enum vidmode)
{
	fake::connects.push_back(req_uri);
	if (fake::connect_error)
		return fake::connect_error;
	*callp = fake::call_new(ua, req_uri, true);
	return 0;
}

// As the library does: the call ends, CALL_CLOSED is emitted before the
// call is freed and before this returns.
void ua_hangup(struct ua *ua, struct call *call, uint16_t scode, const char *reason)
{
	if (!ua || !call)
		return;
	fake::hangups.push_back(std::to_string(scode) + " " + (reason ? reason : ""));
	fake::emit(UA_EVENT_CALL_CLOSED, ua, call, reason ? reason : "Connection reset by user");
	fake::call_free_silently(call);
}

void call_enable_rtp_timeout(struct call *call, uint32_t timeout_ms)
{
	call->rtp_timeout_ms = timeout_ms;
}

int ua_answer(struct ua *ua, struct call *call, enum vidmode)
{
	if (!ua || !call)
		return EINVAL;
	call->answered = true;
	return 0;
}

}
