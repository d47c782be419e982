// The recorder. The main thread switches recording on and off, the engine
// period feeds one buffer per recordable track, and one writer thread per
// track encodes its buffer to FLAC; all files of a recording end at one
// common stop point. The parties share only a few atomic values.
#include "record.h"
#include "engine.h"
#include "platform.h"
#include "webapp_engine.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <FLAC/metadata.h>

namespace {

enum rec_state : int32_t { REC_IDLE = 0, REC_START = 1, REC_RUNNING = 2, REC_STOPPING = 3 };
enum rec_error : int32_t { REC_ERR_CREATE = 1, REC_ERR_WRITE = 2, REC_ERR_SLOW = 3, REC_ERR_BUSY = 4 };

constexpr size_t block_values = 1920;              // 20 ms of stereo audio
constexpr size_t backlog_limit = 1920000;          // bytes: 10 s
constexpr uint32_t values_per_second = 96000;

struct recorder_state {
	std::atomic<int32_t> state{REC_IDLE};
	std::atomic<bool> enabled{false};
	std::atomic<int32_t> generation{0};
	std::atomic<uint64_t> stop_at{0};
	std::atomic<int32_t> open_tracks{0};
	std::atomic<int32_t> error{0};
	std::atomic<int32_t> time_ms{0};
	std::atomic<uint64_t> total{0};
	uint32_t threads = 0;
	// A stop made by the period, logged by the main thread.
	std::atomic<bool> stop_unlogged{false};
};

recorder_state recorder;
char base_folder[256];
char folder[256];
struct tmr error_tmr;

bool recordable(const struct track *t)
{
	return !t->is_stream_track && t->ab;
}

struct track *track_at(struct le *le)
{
	return static_cast<struct track *>(le->data);
}

void raise_error(int32_t code)
{
	int32_t none = 0;
	recorder.error.compare_exchange_strong(none, code);
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
	if (from_period)
		recorder.stop_unlogged.store(true, std::memory_order_release);
	else
		log_stop(total);
}

const char *error_text(int32_t code)
{
	switch (code) {
	case REC_ERR_WRITE: return "Recording stopped: could not write the record files (disk full?)";
	case REC_ERR_SLOW: return "Recording stopped: the disk is too slow";
	case REC_ERR_CREATE: return "Recording failed: could not create the record files";
	default: return "Recording failed: previous recording is still finishing, please try again";
	}
}

void record_error_timer(void *arg)
{
	(void)arg;
	tmr_start(&error_tmr, 100, record_error_timer, nullptr);
	if (recorder.stop_unlogged.exchange(false, std::memory_order_acquire))
		log_stop(recorder.stop_at.load(std::memory_order_relaxed));

	const int32_t code = recorder.error.exchange(0);
	if (!code)
		return;
	const char *text = error_text(code);
	warning("zvaudio/record: %s\n", text);
	zvaudio_set_error(text);
	webapp_option_request("record", "false");
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
	return re_hprintf(pf, "%d-%02d-%02d-%02d-%02d-%02d", tm->tm_year + 1900, tm->tm_mon + 1, tm->tm_mday,
			  tm->tm_hour, tm->tm_min, tm->tm_sec);
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

// Each encoded frame reaches the file in one write, so whatever happens
// to the process the file holds whole frames. A write that fails (a full
// disk) leaves the file as it was before it.
FLAC__StreamEncoderWriteStatus write_file(const FLAC__StreamEncoder *enc, const FLAC__byte buffer[],
					  size_t bytes, uint32_t samples, uint32_t frame, void *arg)
{
	(void)enc;
	(void)samples;
	(void)frame;
	const int fd = static_cast<struct track *>(arg)->rec_fd;
	const off_t before = lseek(fd, 0, SEEK_CUR);
	size_t done = 0;
	while (done < bytes) {
		ssize_t n = write(fd, buffer + done, bytes - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			struct stat sb;
			if (before >= 0 && fstat(fd, &sb) == 0 && sb.st_size > before) {
				if (ftruncate(fd, before) == 0)
					lseek(fd, before, SEEK_SET);
			}
			return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
		}
		done += size_t(n);
	}
	return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus seek_file(const FLAC__StreamEncoder *enc, FLAC__uint64 offset, void *arg)
{
	(void)enc;
	const int fd = static_cast<struct track *>(arg)->rec_fd;
	return lseek(fd, off_t(offset), SEEK_SET) < 0 ? FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR
						       : FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus tell_file(const FLAC__StreamEncoder *enc, FLAC__uint64 *offset, void *arg)
{
	(void)enc;
	const off_t pos = lseek(static_cast<struct track *>(arg)->rec_fd, 0, SEEK_CUR);
	if (pos < 0)
		return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
	*offset = FLAC__uint64(pos);
	return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

void track_path(const struct track *t, char *path, size_t size)
{
	if (t->local)
		re_snprintf(path, size, "%s/local.flac", folder);
	else
		re_snprintf(path, size, "%s/remote-track-%u.flac", folder, t->id);
}

int encoder_fail(struct track *t)
{
	encoder_close(t);
	return EIO;
}

int encoder_open(struct track *t)
{
	char path[256];
	track_path(t, path, sizeof(path));

	t->enc = FLAC__stream_encoder_new();
	if (!t->enc) {
		warning("zvaudio/record: allocating FLAC encoder\n");
		return ENOMEM;
	}

	bool ok = FLAC__stream_encoder_set_verify(t->enc, true);
	ok = FLAC__stream_encoder_set_compression_level(t->enc, 5) && ok;
	ok = FLAC__stream_encoder_set_channels(t->enc, 2) && ok;
	ok = FLAC__stream_encoder_set_bits_per_sample(t->enc, 16) && ok;
	ok = FLAC__stream_encoder_set_sample_rate(t->enc, ZV_RATE) && ok;
	ok = FLAC__stream_encoder_set_total_samples_estimate(t->enc, 0) && ok;
	if (!ok) {
		warning("zvaudio/record: FLAC__stream_encoder_set\n");
		return encoder_fail(t);
	}

	t->meta_comment = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
	t->meta_padding = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING);
	if (!t->meta_comment || !t->meta_padding) {
		warning("zvaudio/record: FLAC METADATA: out of memory\n");
		return encoder_fail(t);
	}

	FLAC__StreamMetadata_VorbisComment_Entry entry;
	if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, "ENCODED_BY", "ZORVANE")) {
		warning("zvaudio/record: FLAC METADATA ERROR: out of memory or tag error\n");
		return encoder_fail(t);
	}
	if (!FLAC__metadata_object_vorbiscomment_append_comment(t->meta_comment, entry, false)) {
		free(entry.entry);
		warning("zvaudio/record: FLAC METADATA ERROR: out of memory or tag error\n");
		return encoder_fail(t);
	}
	t->meta_padding->length = 1234;

	FLAC__StreamMetadata *blocks[2] = {t->meta_comment, t->meta_padding};
	if (!FLAC__stream_encoder_set_metadata(t->enc, blocks, 2)) {
		warning("zvaudio/record: FLAC__stream_encoder_set_metadata\n");
		return encoder_fail(t);
	}

	FLAC__StreamEncoderInitStatus status = FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
	t->rec_fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
	if (t->rec_fd >= 0)
		status = FLAC__stream_encoder_init_stream(t->enc, write_file, seek_file, tell_file, nullptr, t);
	if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
		warning("zvaudio/record: FLAC ERROR: initializing encoder %s: %s\n", path,
			FLAC__StreamEncoderInitStatusString[status]);
		return encoder_fail(t);
	}
	return 0;
}

void close_all_encoders()
{
	for (struct le *le = zvaudio_tracks()->head; le; le = le->next)
		if (recordable(track_at(le)))
			encoder_close(track_at(le));
}

void record_start()
{
	if (recorder.enabled.load())
		return;

	time_t now = time(nullptr);
	struct tm tm;
	localtime_r(&now, &tm);

	if (recorder.state.load(std::memory_order_acquire) != REC_IDLE) {
		raise_error(REC_ERR_BUSY);
		return;
	}
	if (recorder.threads == 0) {
		raise_error(REC_ERR_CREATE);
		return;
	}

	make_recording_folder(&tm);
	for (struct le *le = zvaudio_tracks()->head; le; le = le->next) {
		struct track *t = track_at(le);
		if (!recordable(t))
			continue;
		t->rec_used.store(false, std::memory_order_relaxed);
		if (encoder_open(t)) {
			close_all_encoders();
			raise_error(REC_ERR_CREATE);
			return;
		}
	}

	info("zvaudio/record: start %s\n", folder);
	recorder.time_ms.store(0, std::memory_order_relaxed);
	recorder.stop_at.store(0, std::memory_order_relaxed);
	recorder.open_tracks.store(int32_t(recorder.threads), std::memory_order_relaxed);
	recorder.generation.fetch_add(1);
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

void record_stop()
{
	recorder.enabled.store(false, std::memory_order_relaxed);
	int32_t expected = REC_START;
	if (recorder.state.compare_exchange_strong(expected, REC_STOPPING))
		return;
	if (expected == REC_RUNNING)
		stop_running();
}

// The writer's closing of its file at the stop point.
void writer_close(struct track *t, uint64_t written)
{
	encoder_close(t);
	info("zvaudio/record: track %u closed (%llu samples)\n", t->id, (unsigned long long)written);
	if (!t->local && !t->rec_used.load(std::memory_order_relaxed)) {
		char path[256];
		track_path(t, path, sizeof(path));
		if (remove(path) == 0)
			info("zvaudio/record: track %u unused, removed\n", t->id);
		else
			warning("zvaudio/record: could not remove %s\n", path);
	}
}

void *record_thread(void *arg)
{
	auto *t = static_cast<struct track *>(arg);
	pthread_setname_np(pthread_self(), "zvaudio_record");

	// Writers start with the recorder, before any recording: generation 0.
	// (Reading it here would skip a recording started before the thread ran.)
	int32_t handled = 0;
	uint64_t written = 0;
	bool failed = false;

	while (t->rec_run.load()) {
		const int32_t state = recorder.state.load(std::memory_order_acquire);
		if (state == REC_IDLE || recorder.generation.load() == handled) {
			sys_usleep(10000);
			continue;
		}

		size_t n;
		if (state == REC_STOPPING) {
			const uint64_t stop_at = recorder.stop_at.load(std::memory_order_relaxed);
			const uint64_t left = stop_at - written;
			const size_t buffered = record_fifo_bytes(t->ab) / 2;
			n = size_t(std::min<uint64_t>({left, buffered, block_values}));
			if (n == 0) {
				if (written == stop_at)
					goto close;
				sys_usleep(10000);
				continue;
			}
		}
		else {
			if (record_fifo_bytes(t->ab) < block_values * 2) {
				sys_usleep(10000);
				continue;
			}
			n = block_values;
		}

		record_fifo_read(t->ab, t->rec_s16, n);
		for (size_t k = 0; k < n; ++k)
			t->rec_s32[k] = t->rec_s16[k];

		if (!failed && !FLAC__stream_encoder_process_interleaved(t->enc, t->rec_s32, uint32_t(n / 2))) {
			warning("zvaudio/record: FLAC ENCODE ERROR track %u: %s\n", t->id,
				FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(t->enc)]);
			raise_error(REC_ERR_WRITE);
			failed = true;
		}
		written += n;
		if (t->local)
			recorder.time_ms.store(int32_t(written * 1000 / values_per_second), std::memory_order_relaxed);

		if (state == REC_STOPPING && written == recorder.stop_at.load(std::memory_order_relaxed))
			goto close;
		if (n != block_values)
			sys_usleep(10000);
		continue;

	close:
		writer_close(t, written);
		handled = recorder.generation.load();
		if (t->local)
			recorder.time_ms.store(0, std::memory_order_relaxed);
		if (recorder.open_tracks.fetch_sub(1) == 1)
			recorder.state.store(REC_IDLE, std::memory_order_release);
		written = 0;
		failed = false;
	}
	return nullptr;
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

void zvaudio_record_init()
{
	recorder.state = REC_IDLE;
	recorder.enabled = false;
	recorder.generation = 0;
	recorder.stop_at = 0;
	recorder.open_tracks = 0;
	recorder.error = 0;
	recorder.time_ms = 0;
	recorder.total = 0;
	recorder.threads = 0;
	recorder.stop_unlogged = false;
	base_folder[0] = folder[0] = '\0';

	tmr_init(&error_tmr);
	tmr_start(&error_tmr, 100, record_error_timer, nullptr);

	int err = folder_init();
	if (err) {
		warning("zvaudio/record: folder_init error %d\n", err);
		return;
	}

	for (struct le *le = zvaudio_tracks()->head; le; le = le->next) {
		struct track *t = track_at(le);
		if (t->is_stream_track)
			continue;
		t->rec_s32 = static_cast<int32_t *>(mem_zalloc(block_values * sizeof(int32_t), nullptr));
		t->rec_s16 = static_cast<int16_t *>(mem_zalloc(block_values * sizeof(int16_t), nullptr));
		t->ab = record_fifo_alloc();
		if (!t->rec_s32 || !t->rec_s16 || !t->ab) {
			warning("zvaudio/record: alloc error\n");
			record_fifo_free(t->ab);
			t->ab = nullptr;
			continue;
		}
		t->rec_run = true;
		if (zv_thread_create(&t->thread, record_thread, t)) {
			t->rec_run = false;
			record_fifo_free(t->ab);
			t->ab = nullptr;
		}
		else {
			++recorder.threads;
		}
	}
}

void zvaudio_record_close()
{
	tmr_cancel(&error_tmr);
	record_stop();
	zvaudio_record_finish();
	for (int i = 0; i < 300 && recorder.state.load(std::memory_order_acquire) != REC_IDLE; ++i)
		sys_usleep(10000);
}

void zvaudio_record_finish()
{
	if (recorder.enabled.load())
		return;
	int32_t expected = REC_START;
	if (recorder.state.compare_exchange_strong(expected, REC_STOPPING))
		return;
	if (expected == REC_RUNNING)
		stop_running();
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
	}
	else if (state != REC_RUNNING) {
		return false;
	}

	if (!recorder.enabled.load(std::memory_order_relaxed)) {
		record_stop_now(true);
		return false;
	}
	for (struct le *le = zvaudio_tracks()->head; le; le = le->next) {
		struct track *t = track_at(le);
		if (recordable(t) && record_fifo_bytes(t->ab) > backlog_limit) {
			raise_error(REC_ERR_SLOW);
			record_stop_now(true);
			return false;
		}
	}
	recorder.total.fetch_add(samples, std::memory_order_relaxed);
	return true;
}

int32_t zvaudio_record_time(void)
{
	return recorder.time_ms.load(std::memory_order_relaxed);
}

void encoder_close(struct track *t)
{
	if (t->enc) {
		FLAC__stream_encoder_finish(t->enc);
		FLAC__stream_encoder_delete(t->enc);
		t->enc = nullptr;
	}
	if (t->rec_fd >= 0) {
		close(t->rec_fd);
		t->rec_fd = -1;
	}
	if (t->meta_comment) {
		FLAC__metadata_object_delete(t->meta_comment);
		t->meta_comment = nullptr;
	}
	if (t->meta_padding) {
		FLAC__metadata_object_delete(t->meta_padding);
		t->meta_padding = nullptr;
	}
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
