// The recorder: every recordable track to a FLAC file of its own.
#pragma once

#include <cstddef>
#include <cstdint>

#include "zvaudio.h"

// Main thread: module init and close, after a reset.
void zvaudio_record_init();
void zvaudio_record_close();
void zvaudio_record_finish();

// Engine period, period_lock held, once per period before anything is
// written: true when exactly samples values must now be written to every
// recordable track's buffer.
bool zvaudio_record_process(uint64_t samples);

// Finishes and deletes the track's encoder, its metadata and its file.
void encoder_close(struct track *t);

// A track's recording buffer: a lock-free byte queue from the period to the
// track's writer, sized so that the period never allocates.
struct record_fifo *record_fifo_alloc();
void record_fifo_free(struct record_fifo *f);
void record_fifo_write(struct record_fifo *f, const int16_t *v, size_t values);
size_t record_fifo_bytes(const struct record_fifo *f);
size_t record_fifo_read(struct record_fifo *f, int16_t *v, size_t values);

// The Desktop folder: $XDG_DESKTOP_DIR of the user's user-dirs.dirs, else
// $HOME/Desktop. 0 or ENOENT.
int desktop_dir(char *buf, size_t size);
