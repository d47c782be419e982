// The writers: one thread per recordable track and recording, which takes
// the track's audio out of its buffer in blocks, encodes it to FLAC and
// closes the file at the recording's stop point; and the record of each
// recordable track that holds its writer, encoder and file.
#include "engine.h"
#include "record.h"
#include "record_state.h"

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <malloc.h>
#include <new>
#include <sys/stat.h>
#include <unistd.h>

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

// The recorder's own record of a recordable track, made with the track: the
// writer thread of the current recording and the encoder and file it writes.
struct record_writer {
	std::atomic<bool> run;    // the writer thread keeps running
	pthread_t thread;         // writer thread "zvaudio_record", joinable while run
	FLAC__StreamEncoder *enc; // encoder of the open file, NULL when none
	int fd = -1;              // the open file, -1 when none
	FLAC__StreamMetadata *meta_comment;
	FLAC__StreamMetadata *meta_padding;
};

using namespace zvrec;

namespace {

constexpr uint32_t values_per_second = 96000;

// Each encoded frame reaches the file in one write, so whatever happens to
// the process the file holds whole frames. A write that fails (a full
// disk) is undone where it went past the file's end; what the file held
// before it stays as it was.
FLAC__StreamEncoderWriteStatus write_file(const FLAC__StreamEncoder *enc, const FLAC__byte buffer[],
					  size_t bytes, uint32_t samples, uint32_t frame, void *arg)
{
	(void)enc;
	(void)samples;
	(void)frame;
	const int fd = static_cast<struct record_writer *>(arg)->fd;
	const off_t before = lseek(fd, 0, SEEK_CUR);
	struct stat sb;
	const off_t size = fstat(fd, &sb) == 0 ? sb.st_size : -1;
	size_t done = 0;
	while (done < bytes) {
		ssize_t n = write(fd, buffer + done, bytes - done);
		if (n < 0 && errno == EINTR)
			continue;
		if (n <= 0) {
			if (size >= 0 && fstat(fd, &sb) == 0 && sb.st_size > size &&
			    ftruncate(fd, size) == 0)
				lseek(fd, before, SEEK_SET);
			return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
		}
		done += size_t(n);
	}
	return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus seek_file(const FLAC__StreamEncoder *enc, FLAC__uint64 offset,
					void *arg)
{
	(void)enc;
	const int fd = static_cast<struct record_writer *>(arg)->fd;
	return lseek(fd, off_t(offset), SEEK_SET) < 0 ? FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR
						      : FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus tell_file(const FLAC__StreamEncoder *enc, FLAC__uint64 *offset,
					void *arg)
{
	(void)enc;
	const off_t pos = lseek(static_cast<struct record_writer *>(arg)->fd, 0, SEEK_CUR);
	if (pos < 0)
		return FLAC__STREAM_ENCODER_TELL_STATUS_ERROR;
	*offset = FLAC__uint64(pos);
	return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

// The track's file in the current folder.
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

// The folder's marker learns that a call played into the track, before any
// of that audio reaches the track's file.
void note_used(const struct track *t)
{
	char line[16];
	const int n = re_snprintf(line, sizeof(line), "%u\n", t->id);
	if (recorder.marker_fd >= 0 && n > 0 && write(recorder.marker_fd, line, size_t(n)) < 0)
		warning("zvaudio/record: could not note track %u in the folder's marker (%m)\n",
			t->id, errno);
}

// How a writer's file ended.
struct file_end {
	bool finished;   // the encoder finished it
	int mend_err;    // else: the result of setting its length
	uint64_t frames; // the length set
	bool removed;    // an unused remote file, removed
};

// Finishes the file at the stop point. A file that the encoder could not
// finish (a write failed) still gets the length of the frames it holds.
file_end finish_file(struct track *t, bool failed)
{
	struct record_writer *w = t->writer;
	file_end end = {};
	const FLAC__StreamEncoderState before = FLAC__stream_encoder_get_state(w->enc);
	end.finished = FLAC__stream_encoder_finish(w->enc) && before == FLAC__STREAM_ENCODER_OK;
	if (!end.finished) {
		if (!failed) {
			warning("zvaudio/record: FLAC ERROR: finishing track %u: %s\n", t->id,
				FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(
					w->enc)]);
			raise_error(REC_ERR_WRITE);
		}
		end.mend_err = flac_mend(w->fd, &end.frames);
	}
	encoder_close(t);

	if (!t->local && !t->rec_used.load(std::memory_order_relaxed)) {
		char path[256];
		track_path(t, path, sizeof(path));
		end.removed = remove(path) == 0;
		if (!end.removed)
			warning("zvaudio/record: could not remove %s\n", path);
	}
	return end;
}

void log_end(const struct track *t, const file_end &end, uint64_t written)
{
	if (end.finished)
		info("zvaudio/record: track %u closed (%llu samples)\n", t->id,
		     (unsigned long long)written);
	else if (end.mend_err)
		warning("zvaudio/record: track %u: the file's length could not be set (%m)\n",
			t->id, end.mend_err);
	else
		info("zvaudio/record: track %u kept %llu of %llu samples\n", t->id,
		     (unsigned long long)(2 * end.frames), (unsigned long long)written);
	if (end.removed)
		info("zvaudio/record: track %u unused, removed\n", t->id);
}

// The writer's end of the recording: the file closed, an unused remote
// file removed, the buffer given back. The last writer removes the marker
// and returns the recorder to idle, before it logs: whoever reads the log
// then finds the recording's folder finished.
void writer_close(struct track *t, uint64_t written, bool failed)
{
	const file_end end = finish_file(t, failed);
	record_fifo_free(t->ab);
	t->ab = nullptr;
	if (t->local)
		recorder.time_ms.store(0, std::memory_order_relaxed);

	if (recorder.open_tracks.fetch_sub(1) == 1) {
		marker_remove();
		recorder.state.store(REC_IDLE, std::memory_order_release);
		zv_wake_by_address_all(&recorder.state);
		// The encoders of every track are gone: the allocator hands their
		// pages back instead of keeping them for the next recording.
		malloc_trim(0);
	}
	log_end(t, end, written);
}

// The writer of one track for one recording.
void *record_thread(void *arg)
{
	auto *t = static_cast<struct track *>(arg);
	struct record_writer *w = t->writer;
	pthread_setname_np(pthread_self(), "zvaudio_record");

	int16_t s16[block_values];
	int32_t s32[block_values];
	uint64_t written = 0;
	bool failed = false;
	bool noted = false;

	while (w->run.load()) {
		const int32_t seen = bell.seq.load();
		const int32_t state = recorder.state.load(std::memory_order_acquire);
		size_t n = 0;
		if (state == REC_STOPPING) {
			const uint64_t stop_at = recorder.stop_at.load(std::memory_order_relaxed);
			if (written == stop_at) {
				writer_close(t, written, failed);
				break;
			}
			const size_t buffered = record_fifo_bytes(t->ab) / 2;
			n = size_t(std::min<uint64_t>({stop_at - written, buffered, block_values}));
		}
		else if (state != REC_IDLE && record_fifo_bytes(t->ab) >= block_values * 2) {
			n = block_values;
		}
		if (n == 0) {
			bell.wait(seen);
			continue;
		}

		record_fifo_read(t->ab, s16, n);
		for (size_t k = 0; k < n; ++k)
			s32[k] = s16[k];
		if (!noted && !t->local && t->rec_used.load(std::memory_order_relaxed)) {
			note_used(t);
			noted = true;
		}

		if (!failed &&
		    !FLAC__stream_encoder_process_interleaved(w->enc, s32, uint32_t(n / 2))) {
			warning("zvaudio/record: FLAC ENCODE ERROR track %u: %s\n", t->id,
				FLAC__StreamEncoderStateString[FLAC__stream_encoder_get_state(
					w->enc)]);
			raise_error(REC_ERR_WRITE);
			failed = true;
		}
		written += n;
		if (t->local)
			recorder.time_ms.store(int32_t(written * 1000 / values_per_second),
					       std::memory_order_relaxed);
	}
	return nullptr;
}

// The writer's thread stopped and joined, if it runs.
void thread_end(struct record_writer *w)
{
	if (!w->run.exchange(false))
		return;
	bell.ring_all();
	pthread_join(w->thread, nullptr);
}

// The encoder finished and deleted with its metadata, the file closed.
void file_close(struct record_writer *w)
{
	if (w->enc) {
		FLAC__stream_encoder_finish(w->enc);
		FLAC__stream_encoder_delete(w->enc);
		w->enc = nullptr;
	}
	if (w->fd >= 0) {
		close(w->fd);
		w->fd = -1;
	}
	if (w->meta_comment) {
		FLAC__metadata_object_delete(w->meta_comment);
		w->meta_comment = nullptr;
	}
	if (w->meta_padding) {
		FLAC__metadata_object_delete(w->meta_padding);
		w->meta_padding = nullptr;
	}
}

void writer_destructor(void *arg)
{
	auto *w = static_cast<struct record_writer *>(arg);
	thread_end(w);
	file_close(w);
	w->~record_writer();
}

}

namespace zvrec {

int encoder_open(struct track *t)
{
	struct record_writer *w = t->writer;
	char path[256];
	track_path(t, path, sizeof(path));

	w->enc = FLAC__stream_encoder_new();
	if (!w->enc) {
		warning("zvaudio/record: allocating FLAC encoder\n");
		return ENOMEM;
	}

	bool ok = FLAC__stream_encoder_set_verify(w->enc, true);
	ok = FLAC__stream_encoder_set_compression_level(w->enc, 5) && ok;
	ok = FLAC__stream_encoder_set_channels(w->enc, 2) && ok;
	ok = FLAC__stream_encoder_set_bits_per_sample(w->enc, 16) && ok;
	ok = FLAC__stream_encoder_set_sample_rate(w->enc, ZV_RATE) && ok;
	ok = FLAC__stream_encoder_set_total_samples_estimate(w->enc, 0) && ok;
	if (!ok) {
		warning("zvaudio/record: FLAC__stream_encoder_set\n");
		return encoder_fail(t);
	}

	w->meta_comment = FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT);
	w->meta_padding = FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING);
	if (!w->meta_comment || !w->meta_padding) {
		warning("zvaudio/record: FLAC METADATA: out of memory\n");
		return encoder_fail(t);
	}

	FLAC__StreamMetadata_VorbisComment_Entry entry;
	if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(&entry, "ENCODED_BY",
									    "ZORVANE")) {
		warning("zvaudio/record: FLAC METADATA ERROR: out of memory or tag error\n");
		return encoder_fail(t);
	}
	if (!FLAC__metadata_object_vorbiscomment_append_comment(w->meta_comment, entry, false)) {
		free(entry.entry);
		warning("zvaudio/record: FLAC METADATA ERROR: out of memory or tag error\n");
		return encoder_fail(t);
	}
	w->meta_padding->length = 1234;

	FLAC__StreamMetadata *blocks[2] = {w->meta_comment, w->meta_padding};
	if (!FLAC__stream_encoder_set_metadata(w->enc, blocks, 2)) {
		warning("zvaudio/record: FLAC__stream_encoder_set_metadata\n");
		return encoder_fail(t);
	}

	FLAC__StreamEncoderInitStatus status = FLAC__STREAM_ENCODER_INIT_STATUS_ENCODER_ERROR;
	w->fd = open(path, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
	if (w->fd >= 0)
		status = FLAC__stream_encoder_init_stream(w->enc, write_file, seek_file, tell_file,
							  nullptr, w);
	if (status != FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
		warning("zvaudio/record: FLAC ERROR: initializing encoder %s: %s\n", path,
			FLAC__StreamEncoderInitStatusString[status]);
		return encoder_fail(t);
	}
	return 0;
}

void encoder_close(struct track *t)
{
	if (t->writer)
		file_close(t->writer);
}

int writer_start(struct track *t)
{
	struct record_writer *w = t->writer;
	w->run = true;
	const int err = zv_thread_create(&w->thread, record_thread, t);
	if (err)
		w->run = false;
	return err;
}

void writer_end(struct track *t)
{
	if (t->writer)
		thread_end(t->writer);
}

}

int zvaudio_record_writer_alloc(struct track *t)
{
	void *mem = mem_zalloc(sizeof(struct record_writer), writer_destructor);
	if (!mem)
		return ENOMEM;
	t->writer = new (mem) record_writer();
	return 0;
}
