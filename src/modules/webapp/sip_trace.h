// The SIP trace: one info line per SIP message sent or received, while the
// option "verbose" is on.
#pragma once

#include "sipstack.h"

// Messages longer than this are logged cut, with a "[truncated]" line.
constexpr size_t WEBAPP_SIP_TRACE_MAX = 7168;

// The SIP stack's trace handler (sip_trace_h).
void webapp_sip_trace(bool tx, enum sip_transp tp, const struct sa *src, const struct sa *dst,
		      const uint8_t *pkt, size_t len, void *arg);
