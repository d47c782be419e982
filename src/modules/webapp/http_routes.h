// The module's HTTP server: websocket upgrades, generated routes and the
// page's embedded files.
#pragma once

#include "sipstack.h"

// The request handler (http_req_h) of the module's HTTP server.
void webapp_http_handler(struct http_conn *conn, const struct http_msg *msg, void *arg);

// Lets the connection queue a whole reply with a body of body_len bytes.
void webapp_http_reply_room(struct http_conn *conn, size_t body_len);

// The header lines that go with every answer: no other site may frame the
// page (inside a frame its websockets would carry the page's own Origin),
// and the browser must not guess content types.
extern const char webapp_http_framing[];

// An error answer: the library's small HTML page with the framing headers.
void webapp_http_error(struct http_conn *conn, uint16_t scode, const char *reason);
