// The log files as the page's "/logs.txt".
#pragma once

#include "sipstack.h"

// Answers "/logs.txt": the log files, oldest first.
void webapp_logs_reply(struct http_conn *conn);
