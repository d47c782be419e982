// The modules linked into the program, found by their configured names.
#pragma once

#include "sipstack.h"

extern const struct zv_static_module zv_module_table[];
extern const size_t zv_module_count;
