// The module's parts, started after the listener is up and stopped before
// it goes down.
//
// Start order: the SIP event handler's registration, the websocket registry,
// options, accounts, contacts, meters, sessions. Stop order: the event
// handler, sessions, meters, accounts, contacts, options, the websocket
// registry. A part that joins the module adds its init and close calls to
// webapp_parts.cpp at its place in both orders. The results of the inits are
// not looked at, and every close copes with a part that never started.
#pragma once

void webapp_parts_init(void);
void webapp_parts_close(void);
