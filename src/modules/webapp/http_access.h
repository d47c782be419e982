// Which requests the module's HTTP server serves.
#pragma once

#include <cstdint>

#include "sipstack.h"

// True when the request may be served: its Host, when given, names an IP
// literal or "localhost", with the server's port when it names a port; and
// an Origin header, when given, is "http://" and that Host. This keeps web
// pages of other sites, and names rebound to this host, away from the
// server. port is the listening port.
bool webapp_http_allowed(const struct http_msg *msg, uint16_t port);
