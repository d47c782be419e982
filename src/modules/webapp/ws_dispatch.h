// The receive handlers of the pages' websockets.
#pragma once

#include "sipstack.h"

// The longest message taken from a page. The page's messages are a command
// and a few short texts; decoding a frame's whole 128 KiB as JSON would hold
// the event loop, which also receives the calls' audio, for 5-35 ms.
constexpr size_t webapp_ws_message_max = 4096;

// Decodes the message bytes from mb's position to its end (none without a
// buffer) with the module's strict decoder. 0 or its error; EMSGSIZE for a
// message longer than webapp_ws_message_max.
int webapp_ws_decode(struct odict **op, const struct mbuf *mb);

// Receive handlers (websock_recv_h) of "/ws_baresip", "/ws_contacts",
// "/ws_calls" and "/ws_options".
void webapp_ws_baresip_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
void webapp_ws_contacts_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
void webapp_ws_calls_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
void webapp_ws_options_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);

// Receive handler of "/ws_audio": the engine's device commands.
void webapp_ws_audio_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);

// Sends the endpoint's state dictionary, when its owner set one
// (webapp_ws_state_set).
void webapp_ws_state_push(int endpoint);
