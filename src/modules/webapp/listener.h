// webapp.conf, the listening HTTP server and the page in the browser.
#pragma once

#include <cstdint>

#include "sipstack.h"

// The HTTP server; NULL while it does not listen.
extern struct http_sock *webapp_http_sock;

// Reads webapp.conf, starts the HTTP server (once more on a port of the
// system's choice when the configured one fails), forms the page URL and,
// after a first-attempt success, rewrites webapp.conf. 0 or an errno value.
int webapp_conf_listen(void);

// Opens the page URL in the default browser. 0, EINVAL or EIO.
int webapp_open_browser(void);

// The page URL "http://127.0.0.1:<port>/".
const char *webapp_url(void);

// The value of zv_auto_answer in webapp.conf.
extern bool webapp_auto_answer;

// The provisioning host: zv_provisioning_host of webapp.conf, else the
// service's own. Never NULL.
const char *webapp_provisioning_host(void);

// The port the HTTP server actually listens on; 0 when it does not listen.
// After a fallback from a busy configured port this is the new port, while
// webapp.conf keeps naming the configured one.
uint16_t webapp_port(void);
