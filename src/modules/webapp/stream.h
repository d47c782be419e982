// The on-air stream: a call from the main account to the service's stream
// account on the engine's stream track, placed again 2000 ms after it ends
// while the stream is wanted, and the stream service's login page opened in
// the browser when going on air. Main thread only.
#pragma once

// The stream account's address and the stream URI, by which the sessions
// recognise the stream call.
extern const char webapp_stream_account[]; // "stream@<service SIP domain>"
extern const char webapp_stream_uri[];     // "sip:stream@<domain>;transport=tls"

// Tells the sessions the stream URI and its handlers, with the reconnect
// timer (module init), and takes them back (module close).
void webapp_stream_init(void);
void webapp_stream_close(void);

// Going on air (option "onair" with any value other than "false"): opens the
// login page, then places the stream call unless the stream track already
// holds a live outgoing call. Failures reach the page as CLOSED.
void webapp_stream_start(void);

// Stops the stream: no longer wanted, its call hung up without a CLOSED
// message, the stream track freed. Always 0.
int webapp_stream_stop(void);
