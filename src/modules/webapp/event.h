// The web app's handler of the SIP library's events: registrations mark the
// accounts online or offline, incoming calls are offered to the page (or
// answered at once) or refused, and established and ended calls update
// their tracks. Main thread only.
#pragma once

#include "sipstack.h"

void webapp_event_handler(enum ua_event ev, struct ua *ua, struct call *call, const char *text,
			  void *arg);

// Registers the handler (module init) and removes it (module close).
void webapp_events_init(void);
void webapp_events_close(void);
