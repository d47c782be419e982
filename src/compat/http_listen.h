// The HTTP server's listening socket: this version opens it itself, with a
// queue of only 5 pending connections.
#pragma once

#include "sipstack.h"

// http_listen with the system's largest queue of pending connections
// (SOMAXCONN), as a socket opened by the caller would have. A listening
// address and port cannot be bound twice on this system, so another
// process that holds them makes it fail with EADDRINUSE.
int zv_http_listen(struct http_sock **sockp, const struct sa *laddr, http_req_h *reqh, void *arg);
