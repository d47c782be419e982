// A small stand-in for the SIP library and the module's neighbours, so the
// call sessions and the event handler run without a network: calls and user
// agents are plain records, the page is a list of the texts pushed to it.
#pragma once

#include <string>
#include <vector>

#include "sipstack.h"

struct ua {
	struct le le;
	struct list calls;
	struct account *acc;
	std::string aor;
};

struct call {
	struct le le;
	struct ua *ua;
	std::string peer;
	bool outgoing;
	bool answered;
	std::string digits;
	uint32_t rtp_timeout_ms;
};

namespace fake {

struct pushed {
	int endpoint;
	std::string text;
};

// Everything the code under test sent to pages, in order.
extern std::vector<pushed> pushes;
// Every warning line.
extern std::vector<std::string> warnings;
// Every ua_hangup as "<scode> <reason>" and every ua_connect's address.
extern std::vector<std::string> hangups;
extern std::vector<std::string> connects;
// The error ua_connect returns next (0: it places a call).
extern int connect_error;
// The current user agent of the accounts.
extern struct ua *current_ua;
// Status marks of the accounts: "<aor>=<0|1>".
extern std::vector<std::string> status_marks;

// Resets everything above, the library's configuration (call_max_calls 7)
// and the engine's call tracks.
void reset();
// Frees the user agents and calls made by ua_new and call_new.
void free_all();
void clear_pushes();

struct ua *ua_new(const char *aor);
// A call of ua, as the library keeps it (alive until closed or freed).
struct call *call_new(struct ua *ua, const char *peer, bool outgoing);
// The library ends a call: CALL_CLOSED with text, then frees it.
void call_close(struct call *call, const char *text);
// The library frees a call without any event.
void call_free_silently(struct call *call);
// Emits an event to the registered handler.
void emit(enum ua_event ev, struct ua *ua, struct call *call, const char *text);
// ua_destroy: SHUTDOWN, then the agent's calls are freed without events.
void ua_destroy(struct ua *ua);

// The handler that the code under test set for a command, or NULL.
using command_h = void(const struct odict *msg);
command_h *command(int endpoint, const char *name);
// Runs a command as the page sends it (JSON text).
void page_command(int endpoint, const char *json);

// The call that the code under test bound to track id (the engine's
// zvaudio_track_bind), NULL for a free track.
struct call *track_call(uint32_t id);
uint32_t max_calls();

}
