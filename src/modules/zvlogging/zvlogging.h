// The file log: every line of the SIP library's log, also in a text file of
// the configuration directory's "logs" folder; the last seven starts are
// kept as zorvane.0.log (this start) to zorvane.6.log.
#pragma once

#include "sipstack.h"

extern "C" const struct mod_export exports_zvlogging;

int zvlogging_init(void);
int zvlogging_close(void);
void zvlogging_log_handler(uint32_t level, const char *msg);
