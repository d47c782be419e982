// The calls' thread. The engine period only copies: it takes each call's
// received audio from a ring that this thread filled one period ahead, and
// leaves each call's frame to send in another. Once per period this thread
// hands the frames to the calls' read handlers, where the SIP library
// encodes and sends them, and pulls every call's next period through the
// player's write handler, where the library decodes, and through the call's
// clock follower, which keeps the library's receive buffer at its floor.
// Every handler runs inside engine_lock, so none runs on a call whose state
// the main thread is tearing down.
#include "engine.h"
#include "platform.h"
#include "webapp_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sched.h>
#include <semaphore.h>

namespace {

sem_t wake;
pthread_t thread;
std::atomic<bool> running{false};

// The receive buffer's band: from its configured minimum (the room for the
// far end's packets to come late) up to 10 ms above it.
constexpr double frames_per_ms = ZV_RATE / 1000.0;
constexpr double band_ms = 10.0;

// The thread must run within a period of being woken, or a call's audio has
// a gap: it takes a real-time priority where the system grants one (as it
// does to a member of the audio group), low enough to leave the sound
// system's own threads above it.
void raise_priority()
{
	struct sched_param param = {};
	param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 9;
	pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

void *calls_main(void *arg)
{
	(void)arg;
	raise_priority();
	while (running.load(std::memory_order_acquire)) {
		while (sem_wait(&wake) != 0 && errno == EINTR) {
		}
		// Periods that came while the last ones were served are served
		// together.
		while (sem_trywait(&wake) == 0) {
		}
		if (!running.load(std::memory_order_acquire))
			break;
		zvaudio_calls_send();
		zvaudio_calls_pull(zva.pull_frames.load(std::memory_order_relaxed));
	}
	return nullptr;
}

void start_follow(struct call_path *p)
{
	follow_reset(&p->follow);
	const struct config *cfg = conf_config();
	const double lo = cfg ? double(cfg->audio.buffer.min) * frames_per_ms : 0;
	follow_control_init(&p->control, lo, lo + band_ms * frames_per_ms);
	p->drop = 0;
}

void send_track(struct track *t)
{
	struct call_path *p = t->path;
	struct ausrc_st *src = t->src;
	struct send_record rec;
	while (p->tx_records.read(&rec, 1)) {
		if (!src) {
			p->tx.skip(rec.frames);
			continue;
		}
		p->tx.read(src->sampv, rec.frames);
		struct auframe af;
		auframe_init(&af, AUFMT_S16LE, src->sampv, 2 * size_t(rec.frames));
		af.timestamp = rec.timestamp;
		src->rh(&af, src->arg);
	}
}

void pull_track(struct track *t, size_t frames)
{
	struct call_path *p = t->path;
	struct auplay_st *pl = t->play;
	if (p->play_seen != p->play_generation) {
		// A new player: what the last one left in the ring is not played.
		p->play_seen = p->play_generation;
		p->rx_from.store(p->rx.written(), std::memory_order_release);
		start_follow(p);
	}
	const size_t start = std::max(p->rx_from.load(std::memory_order_relaxed),
				      p->rx.written() - p->rx.read_available());
	const size_t have = p->rx.written() - start;
	if (have >= frames)
		return;
	const size_t out = std::min(frames - have, ZV_PERIOD_VALUES / 2);

	const size_t need = follow_input_needed(&p->follow, out, p->drop);
	if (need) {
		int16_t *in = follow_input(&p->follow, need);
		if (in) {
			webapp_session_play(t, in, pl->wh, 2 * need, pl->arg);
			follow_input_done(&p->follow, need);
		}
	}
	const size_t dropped = follow_produce(&p->follow, pl->sampv, out, p->drop);
	if (dropped)
		follow_control_dropped(&p->control, dropped);
	p->rx.write(pl->sampv, out);

	// The level once the library has decoded what its next read needs: its
	// receive buffer and the frames read ahead of the output.
	p->drop = 0;
	if (pl->audio && audio_rxaubuf_started(pl->audio)) {
		const double level = double(audio_jb_current_value(pl->audio)) * frames_per_ms +
				     double(follow_ahead(&p->follow));
		p->drop = follow_control_update(&p->control, &p->follow, level, out);
	}
}

template <typename T>
T *zeroed(size_t count)
{
	return static_cast<T *>(mem_zalloc(count * sizeof(T), nullptr));
}

void path_destructor(void *arg)
{
	auto *p = static_cast<struct call_path *>(arg);
	mem_deref(p->rx_data);
	mem_deref(p->call);
	mem_deref(p->tx_data);
	mem_deref(p->send);
	mem_deref(p->follow_data);
	mem_deref(p->follow_channels);
	p->~call_path();
}

}

struct call_path *call_path_alloc()
{
	void *mem = mem_zalloc(sizeof(struct call_path), path_destructor);
	if (!mem)
		return nullptr;
	auto *p = new (mem) call_path();
	const size_t follow_frames = follow_storage_frames(ZV_PERIOD_VALUES / 2);
	p->rx_data = zeroed<int16_t>(2 * ZV_PATH_FRAMES);
	p->call = zeroed<int16_t>(ZV_PERIOD_VALUES);
	p->tx_data = zeroed<int16_t>(2 * ZV_PATH_FRAMES);
	p->send = zeroed<int16_t>(ZV_PERIOD_VALUES);
	p->follow_data = zeroed<int16_t>(2 * follow_frames);
	p->follow_channels = zeroed<float>(2 * follow_frames);
	if (!p->rx_data || !p->call || !p->tx_data || !p->send || !p->follow_data || !p->follow_channels) {
		mem_deref(p);
		return nullptr;
	}
	p->rx.init(p->rx_data, 2 * sizeof(int16_t), ZV_PATH_FRAMES);
	p->tx.init(p->tx_data, 2 * sizeof(int16_t), ZV_PATH_FRAMES);
	p->tx_records.init(p->tx_record_data, sizeof(struct send_record), ZV_SEND_PERIODS);
	follow_init(&p->follow, p->follow_data, p->follow_channels, follow_frames);
	return p;
}

void call_path_free(struct call_path *p)
{
	mem_deref(p);
}

void zvaudio_calls_send()
{
	std::lock_guard<std::mutex> lock(engine_lock);
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->path)
			send_track(t);
	}
}

void zvaudio_calls_pull(uint32_t frames)
{
	if (!frames)
		return;
	std::lock_guard<std::mutex> lock(engine_lock);
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->path && t->play)
			pull_track(t, frames);
	}
}

void zvaudio_calls_wake()
{
	if (running.load(std::memory_order_relaxed))
		sem_post(&wake);
}

int zvaudio_calls_start()
{
	if (sem_init(&wake, 0, 0))
		return errno;
	running.store(true, std::memory_order_release);
	int err = zv_thread_create(&thread, calls_main, nullptr);
	if (err) {
		running.store(false);
		sem_destroy(&wake);
		return err;
	}
	pthread_setname_np(thread, "zvaudio_calls");
	return 0;
}

void zvaudio_calls_stop()
{
	if (!running.exchange(false))
		return;
	sem_post(&wake);
	pthread_join(thread, nullptr);
	sem_destroy(&wake);
}
