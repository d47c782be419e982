// The web control app: the SIP library's application module "webapp". Its
// init reads webapp.conf, opens the local HTTP server of the page, starts the
// module's parts and opens the page in the browser. Everything here runs on
// the main thread.
#pragma once

#include "sipstack.h"

// The module record: name "webapp", type "application".
extern "C" const struct mod_export exports_webapp;

// The calls dictionary (keyed by track number as decimal text), made first
// by the module init and released last by its close; NULL outside.
extern struct odict *webapp_calls;
