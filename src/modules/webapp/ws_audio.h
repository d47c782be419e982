// The page's device dialog on "/ws_audio".
#pragma once

#include "sipstack.h"

// Receive handler of "/ws_audio": the engine's device commands.
void webapp_ws_audio_handler(const struct websock_hdr *hdr, struct mbuf *mb, void *arg);
