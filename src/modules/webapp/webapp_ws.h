// The registry of the page's websocket connections, each tagged with its
// endpoint number, the senders that push to every page of one endpoint, and
// the dispatch of what the pages send. Main thread only.
#pragma once

#include <span>

#include "sipstack.h"

// Endpoint numbers; 3 and 5 are not used.
constexpr int WS_BARESIP = 0;   // "/ws_baresip"
constexpr int WS_CALLS = 1;     // "/ws_calls"
constexpr int WS_CONTACTS = 2;  // "/ws_contacts"
constexpr int WS_METER = 4;     // "/ws_meter"
constexpr int WS_OPTIONS = 6;   // "/ws_options"
constexpr int WS_AUDIO = 7;     // "/ws_audio"
constexpr int WS_ENDPOINTS = 8; // endpoint numbers are below this

// Sends text as one text frame to every connection of the endpoint, in the
// order the connections were accepted. Invalid UTF-8 goes out as U+FFFD.
// Send errors are ignored: a dead connection is removed by its close.
void webapp_ws_send_text(int endpoint, const char *text);

// Sends the dictionary as compact JSON, encoded once, to every connection
// of the endpoint; a NULL dictionary sends an empty text frame. Invalid
// UTF-8 in its strings goes out as U+FFFD.
void webapp_ws_send_json(int endpoint, const struct odict *dict);

// True when any user agent has a call.
bool webapp_calls_active(void);

// Makes the websocket server, the list and the quit timer (module init), and
// closes every connection and the server (module close).
void webapp_ws_init(void);
void webapp_ws_close(void);

// Upgrades one HTTP request to a websocket of the endpoint; the library
// answers the upgrade and calls recvh for every message. A request that is
// no valid upgrade (one that is no GET among them) is not answered here and
// leaves no trace: its error is returned.
int webapp_ws_accept(struct http_conn *conn, int endpoint, const struct http_msg *msg,
		     websock_recv_h *recvh);

// Dispatch of the pages' commands.
//
// A message is one JSON object (decoded strictly, see webapp_json.h); one
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
