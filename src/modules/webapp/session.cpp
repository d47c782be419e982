#include "session.h"

#include <cerrno>
#include <cmath>
#include <cstdlib>

#include "dtmf_key.h"
#include "events.h"
#include "session_commands.h"
#include "track_mix.h"
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

// The state text that the page is shown for each track, by id.
const char *states[ZVAUDIO_CALL_TRACKS + 1];

// The tracks that the engine has, in its order: the callers' tracks, then
// the stream's when with_stream.
struct track_ids {
	uint32_t ids[ZVAUDIO_CALL_TRACKS + 1];
	size_t count = 0;

	explicit track_ids(bool with_stream)
	{
		for (uint32_t id = 1; id <= ZVAUDIO_CALL_TRACKS; ++id)
			add(id);
		if (with_stream)
			add(ZVAUDIO_STREAM_TRACK);
	}
	void add(uint32_t id)
	{
		if (zvaudio_track_exists(id))
			ids[count++] = id;
	}
	const uint32_t *begin() const { return ids; }
	const uint32_t *end() const { return ids + count; }
};

struct track_key {
	char text[16];
	explicit track_key(uint32_t id) { re_snprintf(text, sizeof(text), "%u", id); }
};

bool key_matches(uint32_t id, const char *key)
{
	return key && !str_cmp(track_key(id).text, key);
}

// The track with key.
bool find_by_key(const char *key, uint32_t *found)
{
	for (uint32_t id : track_ids(true)) {
		if (key_matches(id, key)) {
			*found = id;
			return true;
		}
	}
	return false;
}

void entry_delete(uint32_t id)
{
	if (webapp_calls)
		odict_entry_del(webapp_calls, track_key(id).text);
}

// Call track n (n != 0) or any call track (n = 0) holds no call.
bool track_free(uint32_t n)
{
	for (uint32_t id : track_ids(false)) {
		if (zvaudio_track_call(id))
			continue;
		if (!n || id == n)
			return true;
	}
	return false;
}

// The library lets a new caller in only while a call track is free.
void limit_update()
{
	zv_call_limit_set(track_free(0));
}

void track_release(uint32_t id)
{
	zvaudio_track_unbind(id);
	entry_delete(id);
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

void hangup_track(uint32_t id)
{
	webapp_session_hangup(zvaudio_track_call(id));
	track_release(id);
}

// The stream call is a call that we placed to the stream URI: a caller who
// names the stream in From is an ordinary caller, so that the stream track
// only ever holds our own stream call.
bool is_stream_call(struct call *call)
{
	return on_air && call_is_outgoing(call) && !str_cmp(call_peeruri(call), on_air->uri);
}

// A running stream call keeps its track, and a second one is hung up at
// once: on no track it would air where nothing can stop it.
uint32_t take_stream_track(struct call *call)
{
	if (!zvaudio_track_exists(ZVAUDIO_STREAM_TRACK))
		return 0;
	struct call *held = zvaudio_track_call(ZVAUDIO_STREAM_TRACK);
	if (held && held != call && zv_call_alive(held)) {
		webapp_session_hangup(call);
		return 0;
	}
	zvaudio_track_bind(ZVAUDIO_STREAM_TRACK, call);
	on_air->taken();
	return ZVAUDIO_STREAM_TRACK;
}

// Frees the tracks whose calls the library has freed without an event, and
// tells the page when there were any: such a track is free.
void reap_dead_calls()
{
	bool reaped = false;
	for (uint32_t id : track_ids(true)) {
		struct call *call = zvaudio_track_call(id);
		if (!call || zv_call_alive(call))
			continue;
		track_release(id);
		reaped = true;
	}
	if (reaped)
		webapp_session_send_calls();
}

bool choose_target(const struct call *call, uint32_t requested, uint32_t *target)
{
	for (uint32_t id : track_ids(false)) {
		if (zvaudio_track_call(id) == call) {
			*target = id;
			return true;
		}
	}
	for (uint32_t id : track_ids(false)) {
		if (zvaudio_track_call(id))
			continue;
		if (!requested || id == requested) {
			*target = id;
			return true;
		}
	}
	return false;
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

	for (uint32_t id : track_ids(false)) {
		if (zvaudio_track_call(id) == call)
			debug("webapp: session update: %d\n", zvaudio_track_meter_slot(id));
	}

	uint32_t id = 0;
	if (!choose_target(call, requested, &id)) {
		webapp_session_send_calls();
		return 0;
	}
	if (zvaudio_track_call(id) != call) {
		zvaudio_track_bind(id, call);
		webapp_track_mix_of(id)->chmix.store(0, std::memory_order_relaxed);
		limit_update();
	}
	states[id] = state;
	webapp_session_publish(id);
	webapp_session_send_calls();
	return id;
}

uint32_t webapp_session_update(struct call *call, const char *state)
{
	return webapp_session_update_track(call, state, 0);
}

int webapp_session_close(const char *key, struct call *call)
{
	if (!key && !call)
		return EINVAL;

	for (uint32_t id : track_ids(false)) {
		if (key_matches(id, key)) {
			hangup_track(id);
			return 0;
		}
		if (call && zvaudio_track_call(id) == call) {
			track_release(id);
			return 0;
		}
	}

	const uint32_t stream = ZVAUDIO_STREAM_TRACK;
	if (!zvaudio_track_exists(stream))
		return 0;
	if (on_air)
		on_air->closed();
	if (key_matches(stream, key))
		hangup_track(stream);
	else if (call && zvaudio_track_call(stream) == call)
		track_release(stream);
	return 0;
}

void webapp_sessions_drop_ua(const struct ua *ua)
{
	bool dropped = false;
	for (uint32_t id : track_ids(true)) {
		struct call *call = zvaudio_track_call(id);
		if (!call)
			continue;
		// A call freed earlier without an event can only be compared.
		if (zv_call_alive(call) && call_get_ua(call) != ua)
			continue;
		track_release(id);
		dropped = true;
	}
	if (dropped)
		webapp_session_send_calls();
}

struct call *webapp_session_call(const char *key)
{
	uint32_t id = 0;
	if (!find_by_key(key, &id))
		return nullptr;
	struct call *call = zvaudio_track_call(id);
	if (!call)
		return nullptr;
	if (!zv_call_alive(call)) {
		track_release(id);
		webapp_session_send_calls();
		return nullptr;
	}
	return call;
}

void webapp_session_chmix(const char *key)
{
	uint32_t id = 0;
	if (!find_by_key(key, &id))
		return;
	struct webapp_track_mix *mix = webapp_track_mix_of(id);
	const int32_t next = (mix->chmix.load(std::memory_order_relaxed) + 1) % 3;
	mix->chmix.store(next, std::memory_order_relaxed);
	webapp_session_publish(id);
	webapp_session_send_calls();
}

void webapp_session_volume(const char *key, const char *value)
{
	uint32_t id = 0;
	if (!find_by_key(key, &id))
		return;
	const double v = atof(value ? value : "");
	if (std::fabs(v) <= volume_limit) // false for NaN too
		webapp_track_mix_of(id)->volume.store(v, std::memory_order_relaxed);
	webapp_session_publish(id);
	webapp_session_send_calls();
}

void webapp_session_publish(uint32_t id)
{
	if (!webapp_calls)
		return;
	struct odict *o = nullptr;
	if (odict_alloc(&o, 8))
		return;

	const track_key key(id);
	odict_entry_del(webapp_calls, key.text);

	const struct call *call = zvaudio_track_call(id);
	const struct webapp_track_mix *mix = webapp_track_mix_of(id);
	int err = 0;
	if (const char *peer = call ? call_peeruri(call) : nullptr)
		err |= odict_entry_add(o, "peer", ODICT_STRING, peer);
	if (states[id])
		err |= odict_entry_add(o, "state", ODICT_STRING, states[id]);
	const int64_t slot = zvaudio_track_meter_slot(id);
	err |= odict_entry_add(o, "ch", ODICT_INT, slot);
	if (const char *name = chmix_name(mix->chmix.load(std::memory_order_relaxed)))
		err |= odict_entry_add(o, "chmix", ODICT_STRING, name);
	err |= odict_entry_add(o, "volume", ODICT_DOUBLE,
			       mix->volume.load(std::memory_order_relaxed));
	err |= odict_entry_add(o, "track", ODICT_INT, static_cast<int64_t>(id));
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
	for (const char *&state : states)
		state = nullptr;
	webapp_track_mix_reset();
	webapp_session_commands_set(true);
	limit_update();
}

void webapp_sessions_close(void)
{
	webapp_session_commands_set(false);
	webapp_dtmf_close();
	zv_call_limit_restore();
}
