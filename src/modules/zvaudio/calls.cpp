// The calls' thread. The engine period only copies: it takes each call's
// received audio from a ring that this thread filled shortly before, and
// leaves each call's frame to send in another. Once per period this thread
// hands the frames to the calls' read handlers, where the SIP library
// encodes and sends them, and pulls every call's next period from the
// call's receive playout (receive.h) through the call's clock follower,
// which keeps the playout's headroom in its band. Every handler runs inside
// engine_lock, so none runs on a call whose state the main thread is
// tearing down; the sends also inside the main loop's lock, so that none
// runs while a handler of the main loop changes the call.
#include "buffer_layout.h"
#include "engine.h"
#include "main_loop_lock.h"
#include "platform.h"
#include "receive.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <new>
#include <sched.h>
#include <semaphore.h>
#include <sys/mman.h>

namespace {

sem_t wake;
pthread_t thread;
std::atomic<bool> running{false};

// The playout's headroom is kept from its target up to 10 ms above it.
constexpr double frames_per_ms = ZV_RATE / 1000.0;
constexpr double band_ms = 10.0;

// The next period's audio is decoded this long before the period is due:
// room for the thread to wake late and for the decoders' own time.
constexpr int64_t pull_lead_ns = 5000000;

// The thread must run within a few milliseconds of when it is due, or a
// call's audio has a gap: it takes a real-time priority where the system
// grants one (as it does to a member of the audio group), low enough to
// leave the sound system's own threads above it.
void raise_priority()
{
	struct sched_param param = {};
	param.sched_priority = sched_get_priority_min(SCHED_FIFO) + 9;
	pthread_setschedparam(pthread_self(), SCHED_FIFO, &param);
}

int64_t pull_due()
{
	return zva.next_period_ns.load(std::memory_order_relaxed) - pull_lead_ns;
}

int64_t monotonic_ns()
{
	struct timespec now;
	clock_gettime(CLOCK_MONOTONIC, &now);
	return int64_t(now.tv_sec) * 1000000000 + now.tv_nsec;
}

// Whether the next period came before its pull was due: the thread then
// pulls at once.
bool wait_for_pull()
{
	const int64_t due = pull_due();
	struct timespec at = {time_t(due / 1000000000), long(due % 1000000000)};
	int err;
	do
		err = sem_clockwait(&wake, CLOCK_MONOTONIC, &at) ? errno : 0;
	while (err == EINTR);
	return err == 0;
}

void *calls_main(void *arg)
{
	(void)arg;
	raise_priority();
	bool woken = false;
	while (running.load(std::memory_order_acquire)) {
		if (!woken) {
			while (sem_wait(&wake) != 0 && errno == EINTR) {
			}
		}
		// Periods that came while the last ones were served are served
		// together.
		while (sem_trywait(&wake) == 0) {
		}
		if (!running.load(std::memory_order_acquire))
			break;
		// What the period gave to send goes out at once, unless the main
		// loop is busy until the pull is due; what the period will take is
		// decoded as late as is safe, so that it waits in the ring for as
		// short a time as it can.
		zvaudio_calls_send(pull_due());
		woken = wait_for_pull();
		if (!running.load(std::memory_order_acquire))
			break;
		zvaudio_calls_pull(zva.pull_frames.load(std::memory_order_relaxed), monotonic_ns());
	}
	return nullptr;
}

void start_follow(struct call_path *p)
{
	follow_reset(&p->follow);
	const struct config *cfg = conf_config();
	const double min_ms = cfg ? double(cfg->audio.buffer.min) : 0;
	const double max_ms = cfg ? double(cfg->audio.buffer.max) : 0;
	playout_restart(p->receive, p->play_generation, min_ms, max_ms);
	const double lo = p->receive->play.target_ms * frames_per_ms;
	follow_control_init(&p->control, lo, lo + band_ms * frames_per_ms);
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

void pull_track(struct track *t, size_t frames, int64_t now_ns)
{
	struct call_path *p = t->path;
	struct auplay_st *pl = t->play;
	if (p->play_seen != p->play_generation) {
		// A new player: what the last one left in the ring is not played.
		p->play_seen = p->play_generation;
		p->rx_from.store(p->rx.written(), std::memory_order_release);
		start_follow(p);
	}
	// A call's packets go to its playout as they come; players of anything
	// else are served through their own write handler.
	struct call_receive *r = pl->audio ? p->receive : nullptr;
	if (r)
		playout_begin_pull(r, now_ns);

	const size_t start = std::max(p->rx_from.load(std::memory_order_relaxed),
				      p->rx.written() - p->rx.read_available());
	const size_t have = p->rx.written() - start;
	if (have < frames) {
		const size_t out = std::min(frames - have, ZV_PERIOD_VALUES / 2);
		const size_t need = follow_input_needed(&p->follow, out);
		if (need) {
			int16_t *in = follow_input(&p->follow, need);
			if (in) {
				if (r)
					zvaudio_track_play(t, in, playout_write, 2 * need, r);
				else
					zvaudio_track_play(t, in, pl->wh, 2 * need, pl->arg);
				follow_input_done(&p->follow, need);
			}
		}
		follow_produce(&p->follow, pl->sampv, out);
		p->rx.write(pl->sampv, out);
	}
	if (!r)
		return;

	// The follower keeps the headroom of the packets in the band above the
	// playout's target; the playout's own steps (audio taken out or put
	// in, or none to play) start its measurement over.
	struct playout *play = &r->play;
	const double lo = play->target_ms * frames_per_ms;
	follow_control_band(&p->control, lo, lo + band_ms * frames_per_ms);
	if (play->stretched || play->starving || !play->playing)
		follow_control_restart(&p->control);
	else
		follow_control_update(&p->control, &p->follow, play->headroom_ms * frames_per_ms);
	play->stretched = 0;
	playout_end_pull(r, follow_ahead(&p->follow));
}

// The path's buffers, in one mapping of their own.
struct path_layout {
	size_t rx, call, tx, send, follow_data, follow_channels, receive, bytes;
};

path_layout layout(size_t follow_frames)
{
	buffer_layout b;
	path_layout l = {};
	l.rx = b.place(2 * ZV_PATH_FRAMES * sizeof(int16_t));
	l.call = b.place(ZV_PERIOD_VALUES * sizeof(int16_t));
	l.tx = b.place(2 * ZV_PATH_FRAMES * sizeof(int16_t));
	l.send = b.place(ZV_PERIOD_VALUES * sizeof(int16_t));
	l.follow_data = b.place(2 * follow_frames * sizeof(int16_t));
	l.follow_channels = b.place(2 * follow_frames * sizeof(float));
	l.receive = b.place(receive_buffer_bytes());
	l.bytes = b.bytes;
	return l;
}

void path_destructor(void *arg)
{
	auto *p = static_cast<struct call_path *>(arg);
	receive_free(p->receive);
	if (p->buffers)
		munmap(p->buffers, p->buffers_size);
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
	const path_layout l = layout(follow_frames);
	// Untouched pages of the kernel's, zeroed: a track takes memory only
	// once a call binds to it (call_path_commit).
	void *buffers =
		mmap(nullptr, l.bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
	if (buffers == MAP_FAILED) {
		mem_deref(p);
		return nullptr;
	}
	p->buffers = static_cast<uint8_t *>(buffers);
	p->buffers_size = l.bytes;
	p->receive = receive_alloc(p->buffers + l.receive);
	if (!p->receive) {
		mem_deref(p);
		return nullptr;
	}
	p->rx_data = reinterpret_cast<int16_t *>(p->buffers + l.rx);
	p->call = reinterpret_cast<int16_t *>(p->buffers + l.call);
	p->tx_data = reinterpret_cast<int16_t *>(p->buffers + l.tx);
	p->send = reinterpret_cast<int16_t *>(p->buffers + l.send);
	p->follow_data = reinterpret_cast<int16_t *>(p->buffers + l.follow_data);
	p->follow_channels = reinterpret_cast<float *>(p->buffers + l.follow_channels);
	p->rx.init(p->rx_data, 2 * sizeof(int16_t), ZV_PATH_FRAMES);
	p->tx.init(p->tx_data, 2 * sizeof(int16_t), ZV_PATH_FRAMES);
	p->tx_records.init(p->tx_record_data, sizeof(struct send_record), ZV_SEND_PERIODS);
	follow_init(&p->follow, p->follow_data, p->follow_channels, follow_frames);
	return p;
}

void call_path_commit(struct call_path *p)
{
	if (p->committed)
		return;
	// Every page present before the period or the calls' thread first
	// touches it, so that neither waits for the kernel to fault one in.
	std::memset(p->buffers, 0, p->buffers_size);
	p->committed = true;
}

void call_path_free(struct call_path *p)
{
	mem_deref(p);
}

void zvaudio_calls_send(int64_t deadline_ns)
{
	if (!main_loop_lock_until(deadline_ns))
		return;
	{
		std::lock_guard<std::mutex> lock(engine_lock);
		for (struct le *le = zva.track_list.head; le; le = le->next) {
			auto *t = static_cast<struct track *>(le->data);
			if (t->path)
				send_track(t);
		}
	}
	main_loop_unlock();
}

void zvaudio_calls_pull(uint32_t frames, int64_t now)
{
	if (!frames)
		return;
	std::lock_guard<std::mutex> lock(engine_lock);
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		auto *t = static_cast<struct track *>(le->data);
		if (t->path && t->play)
			pull_track(t, frames, now);
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
