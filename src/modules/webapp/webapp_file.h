// Record dictionaries and the module's JSON files (accounts.json,
// contacts.json, options.json) in the configuration directory.
// Main thread only; nothing here logs except webapp_record_add.
#pragma once

#include <cstddef>

#include "sipstack.h"

// Formats "<configuration directory>/<name>" into path (256 bytes is the
// size the module uses). 0, the error of conf_path_get, or ENOMEM when it
// does not fit.
int webapp_file_path(char *path, size_t size, const char *name);

// Appends the whole file at mb's position (the position and end advance).
// 0, the errno of the open or a read, or the append errors or-ed together.
int webapp_file_read(struct mbuf *mb, const char *path);

// Replaces the file with text, or with dict as compact JSON (NULL writes an
// empty file). The new content goes to "<path>.tmp" first, every write and
// the close are checked, and only then is it renamed over path, so a failed
// write leaves the old file whole. 0, the errno of the open, or EIO.
int webapp_file_write(const char *text, const char *path);
int webapp_json_write(const struct odict *dict, const char *path);

// Reads and decodes a dictionary file with webapp_json_decode. 0 and a new
// dictionary in *op; ENOENT when the file is missing or cannot be read (every
// read failure counts as a missing file); ENOMEM; or the decoder's error
// when the content is damaged: then nothing must be saved over the file.
int webapp_json_load(struct odict **op, const char *path);

// Adds a copy of record (its string members except "command", in its order)
// to the record dictionary dict under the lowest free key of "0" to "99".
// A NULL record adds nothing. When all hundred keys are taken the record is
// refused with a warning and ENOSPC; ENOMEM when the copy cannot be made.
int webapp_record_add(struct odict *dict, const struct odict *record);
