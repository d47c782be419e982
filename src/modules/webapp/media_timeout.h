// Calls whose partner has gone away: every call the program places or takes
// gets the SIP library's RTP timeout, so that a far end that vanished
// without a BYE (its process killed, its network gone) does not leave its
// call up for ever. The library ends a call whose stream has received no RTP
// or RTCP packet for that long while media flows both ways; a call on hold
// is not watched. It closes such a call with its text for a stream error,
// which the page is told as what it means.
#pragma once

#include "sipstack.h"

// Gives the call the timeout; the library watches from the call's
// establishment on. 60 s, or the seconds of the environment variable
// ZORVANE_TEST_RTP_TIMEOUT (1 to 3600), which is there for tests only.
void webapp_media_timeout_set(struct call *call);

// The CLOSED message for a call that the library closed with text: one that
// names the silence for its RTP timeout, text itself for anything else.
const char *webapp_media_closed_text(const char *text);
