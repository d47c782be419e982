// The SIP stack's stop when the program quits.
//
// ua_stop_all(false) ends every user agent, sends each call's far end its
// BYE, and runs the exit handler once every SIP transaction is done. A far
// end that has gone away answers nothing, and this library version sends
// its BYE again and again for 32 s before the transaction ends: the program
// would linger that long, its pages still open. The wait is bounded here:
// whatever is still pending after the bound is abandoned, as
// ua_stop_all(true) does at once, and the exit handler runs then. A far end
// that is there answers its BYE well within the bound.
#pragma once

#include "sipstack.h"

// The bound, from the stop to the abandon.
constexpr uint64_t ZV_SIP_STOP_WAIT_MS = 1500;

// Starts the stop. Called again while a stop is under way, it keeps the
// first bound.
void zv_sip_stop(void);

// Cancels the bound: the exit handler calls it.
void zv_sip_stop_done(void);
