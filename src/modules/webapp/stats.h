// The connection figures of the call tracks, pushed to every page on
// "/ws_calls" as one message with "callback" "STATS". Main thread only.
#pragma once

#include "sipstack.h"

// The timer that sends the figures.
extern struct tmr webapp_stats_tmr;

// Handler of webapp_stats_tmr: sends the figures of tracks 1 to 6 and runs
// again 250 ms later. arg is not used.
void webapp_stats_timer(void *arg);

// Starts the first run 2000 ms from now (module init, after the sessions),
// and cancels the timer (module close).
void webapp_stats_init(void);
void webapp_stats_close(void);
