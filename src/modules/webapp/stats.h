// The connection figures of the call tracks, pushed to every page on
// "/ws_calls" as one message with "callback" "STATS". Main thread only.
#pragma once

// Handler of webapp_stats_tmr: sends the figures of tracks 1 to 6 and runs
// again 250 ms later. arg is not used.
void webapp_stats_timer(void *arg);

// Starts the first run 2000 ms from now (module init, after the sessions).
// The sessions' close cancels the timer.
void webapp_stats_start(void);
