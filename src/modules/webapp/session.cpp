#include "session.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "dtmf_key.h"
#include "events.h"
#include "session_commands.h"
#include "webapp.h"
#include "ws.h"
#include "zvaudio.h"

const char webapp_state_incoming[] = "Incoming";
const char webapp_state_outgoing[] = "Outgoing";
const char webapp_state_established[] = "Established";

namespace {

// Volumes beyond this gain are refused: JSON cannot carry infinities or
// NaN, and the number formatter breaks on huge values.
constexpr double volume_limit = 1e6;

const struct webapp_session_stream *on_air;
bool hanging_up;

struct track *track_of(struct le *le)
{
	return static_cast<struct track *>(le->data);
}

bool is_call_track(const struct track *t)
{
	return !t->local && !t->is_stream_track;
}

struct le *tracks_head()
{
	return list_head(zvaudio_tracks());
}

struct track_key {
	char text[16];
	explicit track_key(const struct track *t)
	{
		re_snprintf(text, sizeof(text), "%u", t->id);
	}
};

bool key_matches(const struct track *t, const char *key)
{
	return key && !str_cmp(track_key(t).text, key);
}

// The first track other than the local one with key.
struct track *find_by_key(const char *key)
{
	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (!t->local && key_matches(t, key))
			return t;
	}
	return nullptr;
}

void entry_delete(const struct track *t)
{
	if (webapp_calls)
		odict_entry_del(webapp_calls, track_key(t).text);
}

// Call track n (n != 0) or any call track (n = 0) holds no call.
bool track_free(uint32_t n)
{
	for (struct le *le = tracks_head(); le; le = le->next) {
		const struct track *t = track_of(le);
		if (!is_call_track(t) || t->call)
			continue;
		if (!n || t->id == n)
			return true;
	}
	return false;
}

// The library lets a new caller in only while a call track is free.
void limit_update()
{
	zv_call_limit_set(track_free(0));
}

void track_release(struct track *t)
{
	t->call = nullptr;
	entry_delete(t);
	limit_update();
}

const char *chmix_name(int32_t chmix)
{
	switch (chmix) {
	case 0:
		return "Stereo";
	case 1:
		return "Mono L";
	case 2:
		return "Mono R";
	default:
		return nullptr;
	}
}

void hangup_track(struct track *t)
{
	webapp_session_hangup(t->call);
	track_release(t);
}

// The stream call is a call that we placed to the stream URI: a caller who
// names the stream in From is an ordinary caller, so that the stream track
// only ever holds our own stream call.
bool is_stream_call(struct call *call)
{
	return on_air && call_is_outgoing(call) && !str_cmp(call_peeruri(call), on_air->uri);
}

struct track *stream_track()
{
	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (t->is_stream_track)
			return t;
	}
	return nullptr;
}

// A running stream call keeps its track, and a second one is hung up at
// once: on no track it would air where nothing can stop it.
uint32_t take_stream_track(struct call *call)
{
	struct track *t = stream_track();
	if (!t)
		return 0;
	if (t->call && t->call != call && zv_call_alive(t->call)) {
		webapp_session_hangup(call);
		return 0;
	}
	t->call = call;
	on_air->taken();
	return t->id;
}

// Frees the tracks whose calls the library has freed without an event, and
// tells the page when there were any: such a track is free.
void reap_dead_calls()
{
	bool reaped = false;
	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (t->local || !t->call || zv_call_alive(t->call))
			continue;
		track_release(t);
		reaped = true;
	}
	if (reaped)
		webapp_session_send_calls();
}

struct track *choose_target(const struct call *call, uint32_t requested)
{
	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (is_call_track(t) && t->call == call)
			return t;
	}
	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (!is_call_track(t) || t->call)
			continue;
		if (!requested || t->id == requested)
			return t;
	}
	return nullptr;
}

}

void webapp_session_stream_set(const struct webapp_session_stream *s)
{
	on_air = s;
}

void webapp_session_hangup(struct call *call)
{
	if (!call || !zv_call_alive(call))
		return;
	hanging_up = true;
	ua_hangup(call_get_ua(call), call, 0, nullptr);
	hanging_up = false;
}

uint32_t webapp_session_update_track(struct call *call, const char *state, uint32_t requested)
{
	if (is_stream_call(call))
		return take_stream_track(call);

	for (struct le *le = tracks_head(); le; le = le->next) {
		const struct track *t = track_of(le);
		if (is_call_track(t) && t->call == call)
			debug("webapp: session update: %d\n", t->ch);
	}

	struct track *t = choose_target(call, requested);
	if (!t) {
		webapp_session_send_calls();
		return 0;
	}
	if (t->call != call) {
		t->call = call;
		t->chmix.store(0, std::memory_order_relaxed);
		limit_update();
	}
	t->state = state;
	webapp_session_publish(t);
	webapp_session_send_calls();
	return t->id;
}

uint32_t webapp_session_update(struct call *call, const char *state)
{
	return webapp_session_update_track(call, state, 0);
}

int webapp_session_close(const char *key, struct call *call)
{
	if (!key && !call)
		return EINVAL;

	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (!is_call_track(t))
			continue;
		if (key_matches(t, key)) {
			hangup_track(t);
			return 0;
		}
		if (call && t->call == call) {
			track_release(t);
			return 0;
		}
	}

	struct track *t = stream_track();
	if (!t)
		return 0;
	if (on_air)
		on_air->closed(t);
	if (key_matches(t, key))
		hangup_track(t);
	else if (call && t->call == call)
		track_release(t);
	return 0;
}

void webapp_sessions_drop_ua(const struct ua *ua)
{
	bool dropped = false;
	for (struct le *le = tracks_head(); le; le = le->next) {
		struct track *t = track_of(le);
		if (t->local || !t->call)
			continue;
		// A call freed earlier without an event can only be compared.
		if (zv_call_alive(t->call) && call_get_ua(t->call) != ua)
			continue;
		track_release(t);
		dropped = true;
	}
	if (dropped)
		webapp_session_send_calls();
}

struct call *webapp_session_call(const char *key)
{
	struct track *t = find_by_key(key);
	if (!t || !t->call)
		return nullptr;
	if (!zv_call_alive(t->call)) {
		track_release(t);
		webapp_session_send_calls();
		return nullptr;
	}
	return t->call;
}

void webapp_session_chmix(const char *key)
{
	struct track *t = find_by_key(key);
	if (!t)
		return;
	const int32_t next = (t->chmix.load(std::memory_order_relaxed) + 1) % 3;
	t->chmix.store(next, std::memory_order_relaxed);
	webapp_session_publish(t);
	webapp_session_send_calls();
}

void webapp_session_volume(const char *key, const char *value)
{
	struct track *t = find_by_key(key);
	if (!t)
		return;
	const double v = atof(value ? value : "");
	if (std::fabs(v) <= volume_limit) // false for NaN too
		t->volume.store(v, std::memory_order_relaxed);
	webapp_session_publish(t);
	webapp_session_send_calls();
}

void webapp_session_publish(const struct track *t)
{
	if (!webapp_calls)
		return;
	struct odict *o = nullptr;
	if (odict_alloc(&o, 8))
		return;

	const track_key key(t);
	odict_entry_del(webapp_calls, key.text);

	int err = 0;
	if (const char *peer = t->call ? call_peeruri(t->call) : nullptr)
		err |= odict_entry_add(o, "peer", ODICT_STRING, peer);
	if (t->state)
		err |= odict_entry_add(o, "state", ODICT_STRING, t->state);
	err |= odict_entry_add(o, "ch", ODICT_INT, static_cast<int64_t>(t->ch));
	if (const char *name = chmix_name(t->chmix.load(std::memory_order_relaxed)))
		err |= odict_entry_add(o, "chmix", ODICT_STRING, name);
	err |= odict_entry_add(o, "volume", ODICT_DOUBLE, t->volume.load(std::memory_order_relaxed));
	err |= odict_entry_add(o, "track", ODICT_INT, static_cast<int64_t>(t->id));
	if (!err)
		odict_entry_add(webapp_calls, key.text, ODICT_OBJECT, o);
	mem_deref(o);
}

bool webapp_track_free(uint32_t n)
{
	reap_dead_calls();
	return track_free(n);
}

bool webapp_track_any_free(void)
{
	return webapp_track_free(0);
}

bool webapp_hangup_in_progress(void)
{
	return hanging_up;
}

void webapp_session_send_calls(void)
{
	webapp_ws_send_json(WS_CALLS, webapp_calls);
}

void webapp_session_send_closed(const char *message)
{
	struct odict *o = nullptr;
	if (odict_alloc(&o, 4))
		return;
	int err = odict_entry_add(o, "callback", ODICT_STRING, "CLOSED");
	err |= odict_entry_add(o, "message", ODICT_STRING, message ? message : "");
	if (!err)
		webapp_ws_send_json(WS_CALLS, o);
	mem_deref(o);
}

void webapp_session_send_incoming(const char *peeruri, uint32_t id)
{
	struct odict *o = nullptr;
	if (odict_alloc(&o, 4))
		return;
	char key[16];
	re_snprintf(key, sizeof(key), "%u", id);
	int err = odict_entry_add(o, "callback", ODICT_STRING, "INCOMING");
	err |= odict_entry_add(o, "peeruri", ODICT_STRING, peeruri ? peeruri : "");
	err |= odict_entry_add(o, "key", ODICT_STRING, key);
	if (!err)
		webapp_ws_send_json(WS_CALLS, o);
	mem_deref(o);
}

void webapp_call_error(const char *target, int err)
{
	char message[256];
	re_snprintf(message, sizeof(message), "%s: %H", target ? target : "", ZV_ERRNO(err));
	webapp_session_send_closed(message);
}

void webapp_sessions_init(void)
{
	webapp_session_commands_set(true);
	limit_update();
}

void webapp_sessions_close(void)
{
	webapp_session_commands_set(false);
	webapp_dtmf_close();
	zv_call_limit_restore();
}
