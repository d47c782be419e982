// The recorder: every recordable track to a FLAC file of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "track.h"

// Main thread: module init and close, after a reset.
void zvaudio_record_init();
void zvaudio_record_close();
void zvaudio_record_finish();

// Main thread: the streams stopped or could not be started. A running
// recording is stopped with an error, so that the page shows that nothing
// is recorded.
void zvaudio_record_device_lost();

// Engine period, period_lock held, once per period before anything is
// written: true when exactly samples values must now be written to every
// recordable track's buffer.
bool zvaudio_record_process(uint64_t samples);

// Main thread, with the tracks: the recorder's own record of a recordable
// track (its writer thread, encoder and file), which goes with the track's
// memory (mem_deref of t->writer): its writer stopped and joined, its
// encoder and file closed. 0 or ENOMEM.
int zvaudio_record_writer_alloc(struct track *t);

// A track's recording buffer: a lock-free byte queue from the period to the
// track's writer, sized so that the period never allocates.
struct record_fifo *record_fifo_alloc();
void record_fifo_free(struct record_fifo *f);
void record_fifo_write(struct record_fifo *f, const int16_t *v, size_t values);
size_t record_fifo_bytes(const struct record_fifo *f);
size_t record_fifo_read(struct record_fifo *f, int16_t *v, size_t values);

// A recording folder holds this file from the start of its recording until
// every file of it is closed; it names the remote tracks that a call played
// into, one number a line.
constexpr const char *record_marker = ".recording";

// Gives every recording folder in base that a crash or kill left
// unfinished what a normal stop would have: the length of each file, and
// no files of remote tracks without a call.
void record_repair_folders(const char *base);

// Counts the frames of a FLAC file that its encoder could not finish, cuts
// off a frame that was cut short, and writes the total into STREAMINFO.
// 0 with the number of samples per channel, EINVAL for a file that is not
// FLAC, ENODATA when its end holds no frames, or the errno of a read or
// write.
int flac_mend(int fd, uint64_t *frames);

// The Desktop folder: $XDG_DESKTOP_DIR of the user's user-dirs.dirs, else
// $HOME/Desktop. 0 or ENOENT.
int desktop_dir(char *buf, size_t size);
