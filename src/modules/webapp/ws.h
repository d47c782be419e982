// The registry of the page's websocket connections, each tagged with its
// endpoint number, and the senders that push to every page of one endpoint
// (what the pages send is dispatched by ws_dispatch.h). Main thread only.
#pragma once

#include "sipstack.h"

// Endpoint numbers; 3 and 5 are not used.
constexpr int WS_BARESIP = 0;   // "/ws_baresip"
constexpr int WS_CALLS = 1;     // "/ws_calls"
constexpr int WS_CONTACTS = 2;  // "/ws_contacts"
constexpr int WS_METER = 4;     // "/ws_meter"
constexpr int WS_OPTIONS = 6;   // "/ws_options"
constexpr int WS_AUDIO = 7;     // "/ws_audio"
constexpr int WS_ENDPOINTS = 8; // endpoint numbers are below this

// Sends text as one text frame to every connection of the endpoint, in the
// order the connections were accepted. Invalid UTF-8 goes out as U+FFFD.
// Send errors are ignored: a dead connection is removed by its close.
void webapp_ws_send_text(int endpoint, const char *text);

// Sends the dictionary as compact JSON, encoded once, to every connection
// of the endpoint; a NULL dictionary sends an empty text frame. Invalid
// UTF-8 in its strings goes out as U+FFFD.
void webapp_ws_send_json(int endpoint, const struct odict *dict);

// True when any user agent has a call.
bool webapp_calls_active(void);

// Makes the websocket server, the list and the quit timer (module init), and
// closes every connection and the server (module close).
void webapp_ws_init(void);
void webapp_ws_close(void);

// Upgrades one HTTP request to a websocket of the endpoint; the library
// answers the upgrade and calls recvh for every message. A request that is
// no valid upgrade (one that is no GET among them) is not answered here and
// leaves no trace: its error is returned.
int webapp_ws_accept(struct http_conn *conn, int endpoint, const struct http_msg *msg,
		     websock_recv_h *recvh);

// The program's stop: sends every page's websocket a close frame ("going
// away") and shuts its connection down, so that the event loop ends each in
// its next pass; done runs when the last has gone (at once without pages),
// after 1000 ms at the latest. A page still connected after the loop would
// outlive the event library. Before the module's init or after its close,
// done runs at once.
void webapp_ws_stop(void (*done)(void));
