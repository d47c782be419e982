// The program's settings files (config, webapp.conf, the web module's JSON
// files): read only when they are regular files of a sane size, and
// replaced whole, never written in place.
#pragma once

#include <cstddef>
#include <string>
#include <sys/types.h>

// The largest settings file that is read or written; far more than any of
// them holds.
constexpr size_t ZV_SETTINGS_MAX = 1 << 20;

// Reads the whole file into text. It is opened without blocking and read
// only when it is a regular file of at most ZV_SETTINGS_MAX bytes, so that
// a FIFO, a device or a huge file cannot hold the start up. 0; ENOENT when
// there is no such file; EISDIR for a folder, EINVAL for anything else that
// is not a regular file; EFBIG when it is larger; or the errno of the open
// or a read (EACCES, EIO ...).
int zv_settings_read(const char *path, std::string &text);

// Replaces the file with the len bytes of data: they go to "<path>.tmp"
// beside it, every write, the sync and the close are checked, and only then
// is it renamed over path. A new file is created with create_mode (less the
// umask); a replaced one keeps its permissions. On failure the temporary
// file is removed and path is left as it was. 0, EFBIG for more than
// ZV_SETTINGS_MAX bytes, or the errno of the step that failed (ENOSPC for a
// full disk).
int zv_settings_write(const char *path, const char *data, size_t len, mode_t create_mode);
