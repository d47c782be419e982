// Calls on the engine's tracks, by track id: which track a call takes,
// freeing it, the page's view of every track (the calls object on
// "/ws_calls") and the CLOSED and INCOMING messages. Main thread only; the
// engine binds a call's audio to the track that holds the call, and the
// calls' thread applies the track's volume and channel mode (track_mix.h).
#pragma once

#include <cstdint>

#include "sipstack.h"

// State texts of a track's call.
extern const char webapp_state_incoming[];    // "Incoming"
extern const char webapp_state_outgoing[];    // "Outgoing"
extern const char webapp_state_established[]; // "Established"

// The on-air stream as the sessions see it: a call that we placed to uri
// goes to the stream track (a caller naming uri is an ordinary caller) and
// taken runs; closed runs for every track close that
// no call track takes: the stream call's end, a hang-up of key "0", and the
// end of a call on no track.
struct webapp_session_stream {
	const char *uri;
	void (*taken)(void);
	void (*closed)(void);
};

// Sets the stream (it must live while it is set); NULL: no call is the
// stream call.
void webapp_session_stream_set(const struct webapp_session_stream *stream);

// Hangs call up, when the library still has it, as the web app's own
// hang-up: its CALL_CLOSED, which the library reports from inside
// ua_hangup, sends the page no CLOSED message. Frees no track.
void webapp_session_hangup(struct call *call);

// Puts call on a call track with state (the track already holding it, else
// track requested when that one is free, else the first free one; 0 = any),
// publishes the track and sends the calls object. The stream call takes the
// stream track silently. The id of the track that took the call; 0 for the
// stream track or when no track did (the calls object is then sent as it is).
uint32_t webapp_session_update_track(struct call *call, const char *state, uint32_t requested);
uint32_t webapp_session_update(struct call *call, const char *state);

// Frees a track: by key (hangs its call up with webapp_session_hangup) or
// by call (the call has ended: nothing is hung up). Sends nothing. EINVAL
// when both are NULL, else 0.
int webapp_session_close(const char *key, struct call *call);

// Frees, without hanging anything up, every track whose call belongs to ua,
// and sends the calls object once when any was freed: the library ends a
// user agent's calls without closing events.
void webapp_sessions_drop_ua(const struct ua *ua);

// The call of the track with key, or NULL (no such track, a free track). A
// call that no longer exists frees its track first.
struct call *webapp_session_call(const char *key);

// Channel mode (Stereo, Mono L, Mono R, Stereo ...) and volume of the track
// with key; each publishes the track and sends the calls object.
void webapp_session_chmix(const char *key);
void webapp_session_volume(const char *key, const char *value);

// Makes the entry of track id in the calls object anew, at its end. Sends
// nothing.
void webapp_session_publish(uint32_t track);

// Free call tracks: track n (n != 0) or any (n = 0). Tracks whose calls the
// library freed without an event are freed first (the page is sent the
// calls object then).
bool webapp_track_free(uint32_t n);
bool webapp_track_any_free(void);

// True only while webapp_session_hangup runs.
bool webapp_hangup_in_progress(void);

// Messages to every page on "/ws_calls".
void webapp_session_send_calls(void);
void webapp_session_send_closed(const char *message);
void webapp_session_send_incoming(const char *peeruri, uint32_t id);

// CLOSED with "<target>: <error text> [<errno>]".
void webapp_call_error(const char *target, int err);

// The page's call commands and the call limit.
void webapp_sessions_init(void);
void webapp_sessions_close(void);
