// The receive handlers of the pages' websockets and the dispatch of the
// commands they carry.
#pragma once

#include <span>

#include "sipstack.h"

// The longest message taken from a page. The page's messages are a command
// and a few short texts; decoding a frame's whole 128 KiB as JSON would hold
// the event loop, which also receives the calls' audio, for 5-35 ms.
constexpr size_t webapp_ws_message_max = 4096;

// Decodes the message bytes from mb's position to its end (none without a
// buffer) with the module's strict decoder. 0 or its error; EMSGSIZE for a
// message longer than webapp_ws_message_max.
int webapp_ws_decode(struct odict **op, const struct mbuf *mb);

// Receive handlers (websock_recv_h) of "/ws_baresip", "/ws_contacts",
// "/ws_calls" and "/ws_options".
void webapp_ws_baresip_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
void webapp_ws_contacts_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
void webapp_ws_calls_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
void webapp_ws_options_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);

// Sends the endpoint's state dictionary, when its owner set one
// (webapp_ws_state_set).
void webapp_ws_state_push(int endpoint);

// Dispatch of the pages' commands.
//
// A message is one JSON object (decoded strictly, see json.h); one
// that does not decode, has no string "command" (on "/ws_calls": no
// "command" and "key" members), or names a command that nobody set is
// dropped without reply. A handler answers only by pushes to whole
// endpoints; the message is released when it returns.
//
// The part that owns a command sets its handler at its init. "/ws_options"
// goes to webapp_option_request, "/ws_audio" to the engine and "/ws_meter"
// takes nothing; they have no command table.
using webapp_ws_command_h = void(const struct odict *msg);

// Sets (h non-NULL) or clears (h NULL) the handler of command on
// WS_BARESIP, WS_CONTACTS or WS_CALLS. command must be a constant text.
// EINVAL for another endpoint, ENOSPC when the table is full.
int webapp_ws_command_set(int endpoint, const char *command, webapp_ws_command_h *h);

// A part's commands, each with its endpoint, set at the part's init and
// cleared at its close as one table. A command that cannot be set is warned
// about.
struct webapp_ws_command {
	int endpoint;
	const char *name;
	webapp_ws_command_h *h;
};
inline void webapp_ws_commands_set(std::span<const webapp_ws_command> table, bool on)
{
	for (const webapp_ws_command &c : table) {
		if (webapp_ws_command_set(c.endpoint, c.name, on ? c.h : nullptr))
			warning("webapp: command %s not set\n", c.name);
	}
}

// The dictionary that goes to an endpoint after every accepted page: set by
// the part that owns it at its init (accounts on WS_BARESIP, contacts on
// WS_CONTACTS, options on WS_OPTIONS). An endpoint without one gets no push
// on accept; a getter that gives NULL sends an empty text frame.
using webapp_ws_state_h = const struct odict *(void);
void webapp_ws_state_set(int endpoint, webapp_ws_state_h *state);
