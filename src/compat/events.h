// Events and call admission of this library version.
//
// Events: one list of handlers, each called as (user agent, event, call,
// text, argument) for every event; event values differ between library
// versions, so code names them (UA_EVENT_...), never numbers them.
//
// Admission: there is no application hook between an incoming INVITE and its
// call. The library itself answers an INVITE with 486 "Max Calls" while it
// already has call.max_calls calls (0 = no limit); the limit is therefore how
// this program refuses a caller before any call exists.
#pragma once

#include "sipstack.h"

// One event as our handlers see it: ua is the event's own user agent or,
// when the event names none, its call's; call is set for call events; text
// is never NULL ("" when the event has none).
using zv_event_h = void(enum ua_event ev, struct ua *ua, struct call *call, const char *text,
			void *arg);

// Registers the one handler of this program (a second registration replaces
// the first) and removes it. 0 or ENOMEM/EINVAL.
int zv_event_register(zv_event_h *h, void *arg);
void zv_event_unregister(void);

// Lets incoming calls in up to the configured call_max_calls (room) or
// refuses every INVITE while any call exists (no room). The configured value
// is taken at the first use and given back by zv_call_limit_restore.
void zv_call_limit_set(bool room);
void zv_call_limit_restore(void);

// True when call is one of the calls of a user agent in the library's list.
// A call that the library freed without an event is not: its pointer may
// only be compared, never used.
bool zv_call_alive(const struct call *call);
