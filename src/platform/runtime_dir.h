// The user's private folder for the program's lock and socket.
#pragma once

#include <cstddef>

// $XDG_RUNTIME_DIR/zorvane, else /tmp/zorvane-<uid>, created with mode 0700
// when missing. 0, or an errno value: EPERM when the path is a link or not
// a directory that this user alone may enter, ENAMETOOLONG when it does not
// fit the buffer.
int zv_runtime_dir(char *buf, size_t size);
