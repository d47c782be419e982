// The on-air stream's call as the page shows it: off, or wanted and then
// "connecting" (a call placed), "live" (that call established) or "not
// connected" (that call closed, for a reason that the page shows). A stream
// call that cannot be placed at all is told by its CLOSED message alone.
// Main thread only.
#pragma once

#include "sipstack.h"

// Sets the state ("off", "connecting", "live" or "not connected") with its
// reason (NULL: none) and sends it to the pages when that changed it.
void webapp_stream_state_set(const char *state, const char *reason);

// A call was established or closed (text: the library's reason): when it
// is the stream call, the stream is live, or not connected for that reason.
void webapp_stream_call_event(const struct call *call, bool established, const char *text);

// Sends every page on "/ws_calls" {"callback":"ONAIR","state":...,
// "reason": why it is not connected, else ""}; the push to a page that
// connects sends it only while the stream is not off.
void webapp_stream_state_send(void);
void webapp_stream_state_push(void);
