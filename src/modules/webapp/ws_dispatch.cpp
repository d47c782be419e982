#include "ws_dispatch.h"

#include <cerrno>

#include "webapp_engine.h"
#include "json.h"
#include "ws.h"

namespace {

struct command {
	int endpoint;
	const char *name;
	webapp_ws_command_h *h;
};

command command_table[32];
webapp_ws_state_h *states[WS_ENDPOINTS];

bool has_command_table(int endpoint)
{
	return endpoint == WS_BARESIP || endpoint == WS_CONTACTS || endpoint == WS_CALLS;
}

command *find(int endpoint, const char *name)
{
	for (command &c : command_table) {
		if (c.h && c.endpoint == endpoint && !str_cmp(c.name, name))
			return &c;
	}
	return nullptr;
}

// Runs the handler of the message's "command" on the endpoint.
void dispatch(int endpoint, const struct mbuf *mb)
{
	struct odict *msg = nullptr;
	if (webapp_ws_decode(&msg, mb))
		return;
	const char *name = odict_string(msg, "command");
	const bool complete = endpoint != WS_CALLS || odict_lookup(msg, "key");
	if (name && complete) {
		if (const command *c = find(endpoint, name))
			c->h(msg);
	}
	mem_deref(msg);
}

}

int webapp_ws_command_set(int endpoint, const char *name, webapp_ws_command_h *h)
{
	if (!has_command_table(endpoint) || !name)
		return EINVAL;
	if (command *c = find(endpoint, name)) {
		c->h = h;
		return 0;
	}
	if (!h)
		return 0;
	for (command &c : command_table) {
		if (!c.h) {
			c = {endpoint, name, h};
			return 0;
		}
	}
	return ENOSPC;
}

void webapp_ws_state_set(int endpoint, webapp_ws_state_h *state)
{
	if (endpoint >= 0 && endpoint < WS_ENDPOINTS)
		states[endpoint] = state;
}

void webapp_ws_state_push(int endpoint)
{
	if (endpoint >= 0 && endpoint < WS_ENDPOINTS && states[endpoint])
		webapp_ws_send_json(endpoint, states[endpoint]());
}

int webapp_ws_decode(struct odict **op, const struct mbuf *mb)
{
	if (!mb)
		return webapp_json_decode(op, "", 0);
	if (mbuf_get_left(mb) > webapp_ws_message_max)
		return EMSGSIZE;
	return webapp_json_decode(op, reinterpret_cast<const char *>(mbuf_buf(mb)),
				  mbuf_get_left(mb));
}

void webapp_ws_baresip_handler(const struct websock_hdr *, struct mbuf *mb, void *)
{
	dispatch(WS_BARESIP, mb);
}

void webapp_ws_contacts_handler(const struct websock_hdr *, struct mbuf *mb, void *)
{
	dispatch(WS_CONTACTS, mb);
}

void webapp_ws_calls_handler(const struct websock_hdr *, struct mbuf *mb, void *)
{
	dispatch(WS_CALLS, mb);
}

void webapp_ws_options_handler(const struct websock_hdr *, struct mbuf *mb, void *)
{
	struct odict *msg = nullptr;
	if (webapp_ws_decode(&msg, mb))
		return;
	const char *key = odict_string(msg, "key");
	const char *value = odict_string(msg, "value");
	if (key && value)
		webapp_option_request(key, value);
	mem_deref(msg);
}
