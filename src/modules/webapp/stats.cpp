#include "stats.h"

#include "events.h"
#include "stream_stats.h"
#include "ws.h"
#include "zvaudio.h"

struct tmr webapp_stats_tmr;

namespace {

constexpr uint64_t first_stats_ms = 2000;
constexpr uint64_t stats_period_ms = 250;

// Bitrate measurements by track id; the call tracks are 1 to 6.
constexpr uint32_t rate_slots = 8;
zv_stream_rate rates[rate_slots];

int add_int(struct odict *o, const char *key, int64_t v)
{
	return odict_entry_add(o, key, ODICT_INT, v);
}

int add_bool(struct odict *o, const char *key, bool v)
{
	return odict_entry_add(o, key, ODICT_BOOL, v);
}

// "jbuf" when the engine has the call's receive figures; left out
// otherwise.
void add_jbuf(struct odict *o, const struct zvaudio_receive_figures &f)
{
	struct odict *j = nullptr;
	if (odict_alloc(&j, 16))
		return;
	int err = add_int(j, "delay", f.delay_ms);
	err |= add_int(j, "jitter", f.jitter_ms);
	err |= add_int(j, "skew", f.skew_ppm);
	err |= add_int(j, "packets", f.packets);
	err |= add_int(j, "put", f.received);
	err |= add_int(j, "lost", f.lost);
	err |= add_int(j, "late", f.late);
	err |= add_int(j, "late_lost", f.late_lost);
	err |= add_int(j, "oos", f.oos);
	err |= add_int(j, "dups", f.dups);
	err |= add_int(j, "overflow", f.overflow);
	err |= add_int(j, "flush", f.flush);
	if (!err)
		odict_entry_add(o, "jbuf", ODICT_OBJECT, j);
	mem_deref(j);
}

int add_stream_figures(struct odict *o, uint32_t id, const struct audio *au,
		       const struct stream *strm, zv_stream_rate *rate)
{
	zv_stream_rate_update(rate, strm, tmr_jiffies());

	struct zvaudio_receive_figures f;
	const bool received = zvaudio_track_receive(id, &f);
	const uint64_t buffer = received ? f.buffer_ms : audio_jb_current_value(au);
	int err = add_int(o, "buffer", static_cast<int64_t>(buffer));
	err |= add_int(o, "rx_bitrate", rate->rx_bitrate);
	err |= add_int(o, "tx_bitrate", rate->tx_bitrate);
	err |= add_int(o, "rx_packets", stream_metric_get_rx_n_packets(strm));
	err |= add_int(o, "tx_packets", stream_metric_get_tx_n_packets(strm));
	if (const struct rtcp_stats *rs = zv_stream_rtcp_stats(strm)) {
		err |= add_int(o, "rx_lost", rs->rx.lost);
		err |= add_int(o, "rx_jitter", rs->rx.jit);
		err |= add_int(o, "tx_lost", rs->tx.lost);
		err |= add_int(o, "tx_jitter", rs->tx.jit);
		err |= add_int(o, "rtt", rs->rtt);
	}
	if (!err && received)
		add_jbuf(o, f);
	return err;
}

// The entry of one call track, or NULL when it cannot be made. A call that
// the library has already freed counts as none.
struct odict *track_entry(uint32_t id)
{
	struct odict *o = nullptr;
	if (odict_alloc(&o, 32))
		return nullptr;

	struct call *held = zvaudio_track_call(id);
	struct call *call = zv_call_alive(held) ? held : nullptr;
	struct audio *au = call ? call_audio(call) : nullptr;
	struct stream *strm = au ? audio_strm(au) : nullptr;
	zv_stream_rate *rate = id < rate_slots ? &rates[id] : nullptr;

	int err = add_int(o, "track", id);
	err |= add_bool(o, "active", strm != nullptr);
	err |= add_bool(o, "call", call != nullptr);
	if (strm && rate)
		err |= add_stream_figures(o, id, au, strm, rate);
	else if (rate)
		*rate = zv_stream_rate{};

	if (err)
		return static_cast<struct odict *>(mem_deref(o));
	return o;
}

void tracks_add(struct odict *tracks)
{
	for (uint32_t id = 1; id <= ZVAUDIO_CALL_TRACKS; ++id) {
		if (!zvaudio_track_exists(id))
			continue;
		struct odict *entry = track_entry(id);
		if (!entry)
			continue;
		char index[16];
		re_snprintf(index, sizeof(index), "%zu", odict_count(tracks, false));
		odict_entry_add(tracks, index, ODICT_OBJECT, entry);
		mem_deref(entry);
	}
}

}

void webapp_stats_timer(void *)
{
	struct odict *msg = nullptr;
	struct odict *tracks = nullptr;
	if (!odict_alloc(&msg, 4) && !odict_alloc(&tracks, 8)) {
		tracks_add(tracks);
		int err = odict_entry_add(msg, "callback", ODICT_STRING, "STATS");
		err |= odict_entry_add(msg, "tracks", ODICT_ARRAY, tracks);
		if (!err)
			webapp_ws_send_json(WS_CALLS, msg);
	}
	mem_deref(tracks);
	mem_deref(msg);
	tmr_start(&webapp_stats_tmr, stats_period_ms, webapp_stats_timer, nullptr);
}

void webapp_stats_init(void)
{
	tmr_init(&webapp_stats_tmr);
	tmr_start(&webapp_stats_tmr, first_stats_ms, webapp_stats_timer, nullptr);
}

void webapp_stats_close(void)
{
	tmr_cancel(&webapp_stats_tmr);
}
