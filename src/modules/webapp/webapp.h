// The web control app: the SIP library's application module "webapp". Its
// init reads webapp.conf, opens the local HTTP server of the page, starts the
// module's parts and opens the page in the browser. Everything here runs on
// the main thread.
#pragma once

#include <cstdint>

#include "sipstack.h"

// The module record: name "webapp", type "application".
extern "C" const struct mod_export exports_webapp;

// The calls dictionary (keyed by track number as decimal text), made first
// by the module init and released last by its close; NULL outside.
extern struct odict *webapp_calls;

// The value of zv_auto_answer in webapp.conf.
extern bool webapp_auto_answer;

// The provisioning host: zv_provisioning_host of webapp.conf, else the
// service's own. Never NULL.
const char *webapp_provisioning_host(void);

// The port the HTTP server actually listens on; 0 when it does not listen.
// After a fallback from a busy configured port this is the new port, while
// webapp.conf keeps naming the configured one.
uint16_t webapp_port(void);

// The program's stop: sends every page's websocket a close frame ("going
// away") and shuts its connection down, so that the event loop ends each in
// its next pass; done runs when the last has gone (at once without pages),
// after 1000 ms at the latest. A page still connected after the loop would
// outlive the event library. Before the module's init or after its close,
// done runs at once.
void webapp_ws_stop(void (*done)(void));
