// Small per-user values that outlive the process: one file per name in
// ${XDG_STATE_HOME:-~/.local/state}/zorvane holding the value in decimal
// and a line feed.
#pragma once

#include <cstdint>

// 0 with *value set; an errno value when the file is missing or holds no
// number (EPROTO).
int zv_state_get_u32(const char *name, uint32_t *value);

// Replaces the file atomically (a new file renamed over the old one),
// creating the folders when missing. 0 or an errno value.
int zv_state_set_u32(const char *name, uint32_t value);
