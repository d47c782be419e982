#include "http_logs.h"

#include <cstdio>

#include "http_routes.h"

void webapp_logs_reply(struct http_conn *conn)
{
	char dir[256];
	if (conf_path_get(dir, sizeof(dir))) {
		webapp_http_error(conn, 500, "Internal Server Error");
		return;
	}
	struct mbuf *mb = mbuf_alloc(65536);
	if (!mb) {
		webapp_http_error(conn, 500, "Internal Server Error");
		return;
	}

	for (unsigned n = 7; n-- > 0;) {
		char path[512];
		if (re_snprintf(path, sizeof(path), "%s/logs/zorvane.%u.log", dir, n) < 0)
			continue;
		const size_t mark = mb->end;
		(void)mbuf_printf(mb, "===== zorvane.%u.log =====\n", n);
		FILE *f = fopen(path, "rb");
		if (!f) {
			mb->end = mark;
			mb->pos = mark;
			continue;
		}
		uint8_t block[4096];
		size_t got;
		while ((got = fread(block, 1, sizeof(block), f)) > 0) {
			if (mbuf_write_mem(mb, block, got))
				break;
		}
		fclose(f);
		(void)mbuf_write_str(mb, "\n");
	}
	if (mb->end == 0)
		(void)mbuf_write_str(mb, "No log files found.\n");

	webapp_http_reply_room(conn, mb->end);
	(void)http_reply(conn, 200, "OK",
			 "Content-Type: text/plain; charset=utf-8\r\n"
			 "Content-Disposition: attachment; filename=\"zorvane-logs.txt\"\r\n"
			 "Content-Length: %zu\r\n"
			 "Cache-Control: no-cache, no-store, must-revalidate\r\n"
			 "%s"
			 "\r\n"
			 "%b",
			 mb->end, webapp_http_framing, mb->buf, mb->end);
	mem_deref(mb);
}
