// Record dictionaries and the module's JSON files (accounts.json,
// contacts.json, options.json) in the configuration directory.
// Main thread only; nothing here logs except webapp_record_add.
#pragma once

#include <cstddef>
#include <sys/types.h>

#include "sipstack.h"

// Formats "<configuration directory>/<name>" into path (256 bytes is the
// size the module uses). 0, the error of conf_path_get, or ENOMEM when it
// does not fit.
int webapp_file_path(char *path, size_t size, const char *name);

// Replaces the file with text, or with dict as compact JSON (NULL writes an
// empty file), through zv_settings_write: the old file stays whole when the
// write fails. A new file gets create_mode less the umask (0600 for a file
// that holds passwords); a replaced one keeps its permissions. 0, ENOMEM,
// or the errno of the step that failed (ENOSPC on a full disk).
int webapp_file_write(const char *text, const char *path);
int webapp_json_write(const struct odict *dict, const char *path, mode_t create_mode = 0666);

// Reads (zv_settings_read) and decodes (webapp_json_decode) a dictionary
// file. 0 and a new dictionary in *op; ENOENT when the file does not exist;
// any other error means a file that is there but cannot be used (not
// readable, no regular file, too large, or damaged content): nothing must
// then be saved over it.
int webapp_json_load(struct odict **op, const char *path);

// Adds a copy of record (its string members except "command", in its order)
// to the record dictionary dict under the lowest free key of "0" to "99".
// A NULL record adds nothing. When all hundred keys are taken the record is
// refused with a warning and ENOSPC; ENOMEM when the copy cannot be made.
int webapp_record_add(struct odict *dict, const struct odict *record);
