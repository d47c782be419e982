// The page's outgoing calls.
#pragma once

#include "sipstack.h"

// The "call" command: places a call to the message's "dial" text from the
// current user agent, on the track of "track" when given.
void webapp_session_dial_command(const struct odict *msg);

// A dial text that may reach the INVITE: no control characters, blanks, or
// any of <>".
bool webapp_dial_text_valid(const char *dial);
