// The recorder. The main thread switches recording on and off, the engine
// period feeds one buffer per recordable track, and one writer thread per
// track and recording encodes its buffer to FLAC; all files of a recording
// end at one common stop point. The parties share only a few atomic values.
// Between recordings the recorder holds no thread and no buffer.
#include "record.h"
#include "engine.h"
#include "record_state.h"

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace zvrec {

recorder_state recorder;
writer_bell bell;
char folder[256];

}

using namespace zvrec;

namespace {

constexpr size_t backlog_limit = 1920000; // bytes: 10 s
// The period wakes the writers once this much has been fed since it last
// did: 80 ms, four blocks for each writer.
constexpr uint64_t wake_values = 4 * block_values;
// How long module close waits for the files of a running recording.
constexpr int close_wait_ms = 3000;

char base_folder[256];
struct tmr error_tmr;

bool recordable(const struct track *t)
{
	return !t->is_stream_track && t->ab;
}

struct track *track_at(struct le *le)
{
	return static_cast<struct track *>(le->data);
}

void log_stop(uint64_t total)
{
	info("zvaudio/record: stop after %llu samples\n", (unsigned long long)total);
}

// The stop point is what the periods have fed so far. from_period: the
// period makes the stop and must not log.
void record_stop_now(bool from_period)
{
	const uint64_t total = recorder.total.load(std::memory_order_relaxed);
	recorder.stop_at.store(total, std::memory_order_relaxed);
	recorder.state.store(REC_STOPPING, std::memory_order_release);
	if (from_period) {
		recorder.stop_unlogged.store(true, std::memory_order_release);
		bell.ring();
	}
	else {
		bell.ring_all();
		log_stop(total);
	}
}

const char *error_text(int32_t code)
{
	switch (code) {
	case REC_ERR_WRITE:
		return "Recording stopped: could not write the record files (disk full?)";
	case REC_ERR_SLOW:
		return "Recording stopped: the disk is too slow";
	case REC_ERR_CREATE:
		return "Recording failed: could not create the record files";
	case REC_ERR_DEVICE:
		return "Recording stopped: the audio device stopped";
	case REC_ERR_NO_DEVICE:
		return "Recording failed: no sound device is working";
	default:
		return "Recording failed: previous recording is still finishing, please try again";
	}
}

// Every 100 ms from the start of a recording until it is idle again and
// its errors are told; errors of the writers and the period are raised
// only while it runs. Idle, the recorder wakes no one.
void record_error_timer(void *arg)
{
	(void)arg;
	const bool idle = recorder.state.load(std::memory_order_acquire) == REC_IDLE;
	if (recorder.stop_unlogged.exchange(false, std::memory_order_acquire))
		log_stop(recorder.stop_at.load(std::memory_order_relaxed));

	const int32_t code = recorder.error.exchange(0);
	if (!idle || code)
		tmr_start(&error_tmr, 100, record_error_timer, nullptr);
	if (!code)
		return;
	const char *text = error_text(code);
	warning("zvaudio/record: %s\n", text);
	zvaudio_set_error(text);
	zvaudio_recording_failed(text);
}

void watch_errors()
{
	if (!tmr_isrunning(&error_tmr))
		tmr_start(&error_tmr, 100, record_error_timer, nullptr);
}

// Creates every missing folder of path.
void make_folders(const char *path)
{
	char part[256];
	str_ncpy(part, path, sizeof(part));
	for (char *p = part + 1; *p; ++p) {
		if (*p != '/')
			continue;
		*p = '\0';
		fs_mkdir(part, 0700);
		*p = '/';
	}
	fs_mkdir(part, 0700);
}

int folder_init()
{
	char desktop[256];
	if (desktop_dir(desktop, sizeof(desktop)))
		return ENOENT;
	re_snprintf(base_folder, sizeof(base_folder), "%s/zorvane", desktop);
	make_folders(base_folder);
	str_ncpy(folder, base_folder, sizeof(folder));
	return 0;
}

int date_print(struct re_printf *pf, void *arg)
{
	const struct tm *tm = static_cast<const struct tm *>(arg);
	return re_hprintf(pf, "%d-%02d-%02d-%02d-%02d-%02d", tm->tm_year + 1900, tm->tm_mon + 1,
			  tm->tm_mday, tm->tm_hour, tm->tm_min, tm->tm_sec);
}

// The folder of a recording started at tm; a second recording within the
// same second gets "-2", "-3" ... so that it never writes into the first.
void make_recording_folder(const struct tm *tm)
{
	char name[256];
	re_snprintf(name, sizeof(name), "%s/%H", base_folder, date_print, tm);
	str_ncpy(folder, name, sizeof(folder));
	for (int n = 2; fs_mkdir(folder, 0700) == EEXIST && n < 1000; ++n)
		re_snprintf(folder, sizeof(folder), "%s-%d", name, n);
}

// The marker that tells a later start that this folder's recording has not
// finished; held locked while it runs, so that another instance of the
// program leaves it alone.
void marker_open()
{
	char path[256];
	re_snprintf(path, sizeof(path), "%s/%s", folder, record_marker);
	recorder.marker_fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_APPEND | O_CLOEXEC, 0600);
	if (recorder.marker_fd >= 0)
		flock(recorder.marker_fd, LOCK_EX | LOCK_NB);
}

// Joins the writers of the last recording: they have ended, or end now.
void writers_end()
{
	for (struct le *le = zva.track_list.head; le; le = le->next)
		writer_end(track_at(le));
}

// Undoes a start that could not open every file: encoders, buffers and
// the marker go; the files already made stay.
void start_failed()
{
	writers_end();
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_at(le);
		encoder_close(t);
		record_fifo_free(t->ab);
		t->ab = nullptr;
	}
	marker_remove();
	raise_error(REC_ERR_CREATE);
}

void record_start()
{
	if (recorder.enabled.load())
		return;
	watch_errors();

	time_t now = time(nullptr);
	struct tm tm;
	localtime_r(&now, &tm);

	if (recorder.state.load(std::memory_order_acquire) != REC_IDLE) {
		raise_error(REC_ERR_BUSY);
		return;
	}
	// a start of the streams that failed, for want of a working sound
	// device, leaves none: a recording would hold no audio at all
	if (!zvaudio_running()) {
		raise_error(REC_ERR_NO_DEVICE);
		return;
	}
	if (!recorder.folder_ready) {
		raise_error(REC_ERR_CREATE);
		return;
	}
	writers_end();

	make_recording_folder(&tm);
	marker_open();
	int32_t tracks = 0;
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_at(le);
		if (t->is_stream_track)
			continue;
		t->rec_used.store(false, std::memory_order_relaxed);
		t->ab = record_fifo_alloc();
		if (!t->ab) {
			warning("zvaudio/record: alloc error\n");
			start_failed();
			return;
		}
		if (encoder_open(t)) {
			start_failed();
			return;
		}
		++tracks;
	}
	// The writers wait for the first audio, or for a stop.
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_at(le);
		if (!recordable(t))
			continue;
		if (writer_start(t)) {
			warning("zvaudio/record: no writer thread for track %u\n", t->id);
			start_failed();
			return;
		}
	}

	info("zvaudio/record: start %s\n", folder);
	recorder.time_ms.store(0, std::memory_order_relaxed);
	recorder.stop_at.store(0, std::memory_order_relaxed);
	recorder.open_tracks.store(tracks, std::memory_order_relaxed);
	recorder.enabled.store(true, std::memory_order_relaxed);
	recorder.state.store(REC_START, std::memory_order_release);
}

// Stops a running recording at a period boundary: period_lock keeps every
// period out while the stop point is taken, so no recording stays running
// when the periods have stopped coming.
void stop_running()
{
	// The stop line is logged after the lock is given back: writing it to
	// the log file must not hold up the period.
	bool stopped = false;
	{
		std::lock_guard<period_mutex> lock(period_lock);
		if (recorder.state.load(std::memory_order_acquire) == REC_RUNNING) {
			record_stop_now(true);
			stopped = true;
		}
	}
	if (stopped && recorder.stop_unlogged.exchange(false, std::memory_order_acq_rel))
		log_stop(recorder.stop_at.load(std::memory_order_relaxed));
}

// Stops a recording that no period has started yet: every writer closes its
// file at once, without audio.
bool stop_unstarted()
{
	int32_t expected = REC_START;
	if (!recorder.state.compare_exchange_strong(expected, REC_STOPPING))
		return false;
	bell.ring_all();
	return true;
}

void record_stop()
{
	recorder.enabled.store(false, std::memory_order_relaxed);
	if (!stop_unstarted() && recorder.state.load(std::memory_order_acquire) == REC_RUNNING)
		stop_running();
}

void *open_folder_thread(void *arg)
{
	char *path = static_cast<char *>(arg);
	pthread_setname_np(pthread_self(), "zvaudio_open_fo");
	if (zv_shell_open(path))
		warning("zvaudio: could not open %s\n", path);
	mem_deref(path);
	return nullptr;
}

}

namespace zvrec {

void marker_remove()
{
	char path[256];
	re_snprintf(path, sizeof(path), "%s/%s", folder, record_marker);
	unlink(path);
	if (recorder.marker_fd >= 0)
		close(recorder.marker_fd);
	recorder.marker_fd = -1;
}

void raise_error(int32_t code)
{
	int32_t none = 0;
	recorder.error.compare_exchange_strong(none, code);
}

}

void zvaudio_record_init()
{
	recorder.state = REC_IDLE;
	recorder.enabled = false;
	recorder.stop_at = 0;
	recorder.open_tracks = 0;
	recorder.error = 0;
	recorder.time_ms = 0;
	recorder.total = 0;
	recorder.folder_ready = false;
	recorder.marker_fd = -1;
	recorder.stop_unlogged = false;
	base_folder[0] = folder[0] = '\0';

	tmr_init(&error_tmr);

	int err = folder_init();
	if (err) {
		warning("zvaudio/record: folder_init error %d\n", err);
		return;
	}
	recorder.folder_ready = true;
	record_repair_folders(base_folder);
}

void zvaudio_record_close()
{
	tmr_cancel(&error_tmr);
	record_stop();
	zvaudio_record_finish();

	struct timespec now, end;
	clock_gettime(CLOCK_MONOTONIC, &end);
	end.tv_sec += close_wait_ms / 1000;
	for (;;) {
		const int32_t state = recorder.state.load(std::memory_order_acquire);
		if (state == REC_IDLE)
			break;
		clock_gettime(CLOCK_MONOTONIC, &now);
		const long left =
			(end.tv_sec - now.tv_sec) * 1000 + (end.tv_nsec - now.tv_nsec) / 1000000;
		if (left <= 0)
			break;
		zv_wait_on_address(&recorder.state, state, int(left));
	}
	writers_end();
}

void zvaudio_record_finish()
{
	if (recorder.enabled.load())
		return;
	if (!stop_unstarted() && recorder.state.load(std::memory_order_acquire) == REC_RUNNING)
		stop_running();
}

void zvaudio_record_device_lost()
{
	if (recorder.enabled.load()) {
		raise_error(REC_ERR_DEVICE);
		watch_errors();
	}
}

void zvaudio_record_set(bool on)
{
	if (on)
		record_start();
	else
		record_stop();
}

bool zvaudio_record_process(uint64_t samples)
{
	int32_t state = recorder.state.load(std::memory_order_acquire);
	if (state == REC_START) {
		if (!recorder.state.compare_exchange_strong(state, REC_RUNNING))
			return false;
		recorder.total.store(0, std::memory_order_relaxed);
		recorder.woken_at = 0;
	}
	else if (state != REC_RUNNING) {
		return false;
	}

	if (!recorder.enabled.load(std::memory_order_relaxed)) {
		record_stop_now(true);
		return false;
	}
	for (struct le *le = zva.track_list.head; le; le = le->next) {
		struct track *t = track_at(le);
		if (recordable(t) && record_fifo_bytes(t->ab) > backlog_limit) {
			raise_error(REC_ERR_SLOW);
			record_stop_now(true);
			return false;
		}
	}
	// Everything counted so far is in the buffers.
	const uint64_t fed = recorder.total.load(std::memory_order_relaxed);
	if (fed - recorder.woken_at >= wake_values) {
		recorder.woken_at = fed;
		bell.ring();
	}
	recorder.total.store(fed + samples, std::memory_order_relaxed);
	return true;
}

int32_t zvaudio_record_time(void)
{
	return recorder.time_ms.load(std::memory_order_relaxed);
}

void zvaudio_open_folder(void)
{
	char *path = nullptr;
	if (str_dup(&path, folder))
		return;
	pthread_t thread;
	if (zv_thread_create(&thread, open_folder_thread, path)) {
		mem_deref(path);
		return;
	}
	pthread_detach(thread);
}
