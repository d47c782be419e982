// The page's call commands: "call" on "/ws_baresip"; "accept", "hangup",
// "chmix", "volume" and "dtmf" on "/ws_calls".
#pragma once

#include "sipstack.h"

// Sets (on) or clears the handlers of these commands.
void webapp_session_commands_set(bool on);
