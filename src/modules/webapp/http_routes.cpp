#include "http_routes.h"

#include "account_reason.h"
#include "assets.h"
#include "http_access.h"
#include "http_logs.h"
#include "listener.h"
#include "webapp.h"
#include "ws.h"
#include "ws_audio.h"
#include "ws_dispatch.h"
#include "meter.h"
#include "stream_state.h"
#include "zv_version.h"
#include "zvaudio.h"

namespace {

struct ws_route {
	const char *path;
	int endpoint;
	websock_recv_h *recvh;
};

const ws_route ws_routes[] = {
	{"/ws_baresip", WS_BARESIP, webapp_ws_baresip_handler},
	{"/ws_contacts", WS_CONTACTS, webapp_ws_contacts_handler},
	{"/ws_audio", WS_AUDIO, webapp_ws_audio_handler},
	{"/ws_meter", WS_METER, webapp_ws_meter_handler},
	{"/ws_calls", WS_CALLS, webapp_ws_calls_handler},
	{"/ws_options", WS_OPTIONS, webapp_ws_options_handler},
};

struct file_route {
	const char *path;
	const char *ctype;
	const unsigned char *body;
	const size_t *len;
};

const size_t version_len = sizeof(ZV_VERSION) - 1;
const size_t swvariant_len = sizeof("standalone") - 1;

const file_route file_routes[] = {
	{"/", "text/html", webapp_asset_index_html, &webapp_asset_index_html_len},
	{"/version", "text/html", reinterpret_cast<const unsigned char *>(ZV_VERSION),
	 &version_len},
	{"/swvariant", "text/html", reinterpret_cast<const unsigned char *>("standalone"),
	 &swvariant_len},
	{"/app.js", "application/javascript", webapp_asset_app_js, &webapp_asset_app_js_len},
	{"/images/logo.svg", "image/svg+xml", webapp_asset_logo_svg, &webapp_asset_logo_svg_len},
	{"/fonts/roboto-mono-400.woff2", "font/woff2", webapp_asset_roboto_mono_400,
	 &webapp_asset_roboto_mono_400_len},
	{"/fonts/roboto-mono-500.woff2", "font/woff2", webapp_asset_roboto_mono_500,
	 &webapp_asset_roboto_mono_500_len},
	{"/fonts/roboto-mono-700.woff2", "font/woff2", webapp_asset_roboto_mono_700,
	 &webapp_asset_roboto_mono_700_len},
	{"/app.css", "text/css", webapp_asset_app_css, &webapp_asset_app_css_len},
};

void webapp_http_asset(struct http_conn *conn, const char *ctype, const unsigned char *body,
		       size_t len)
{
	struct mbuf *mb = mbuf_alloc(len ? len : 1);
	if (!mb)
		return;
	if (mbuf_write_mem(mb, body, len) == 0) {
		webapp_http_reply_room(conn, len);
		(void)http_reply(conn, 200, "OK",
				 "Content-Type: %s\r\n"
				 "Content-Length: %zu\r\n"
				 "Cache-Control: no-cache, no-store, must-revalidate\r\n"
				 "%s"
				 "\r\n"
				 "%b",
				 ctype, mb->end, webapp_http_framing, mb->buf, mb->end);
	}
	mem_deref(mb);
}

void status_reply(struct http_conn *conn)
{
	char addr[INET_ADDRSTRLEN] = "";
	const struct sa *laddr = net_laddr_af(baresip_network(), AF_INET);
	if (!laddr || sa_ntop(laddr, addr, sizeof(addr)))
		addr[0] = '\0';

	char body[255];
	int n = re_snprintf(
		body, sizeof(body),
		"[{ \"name\": \"IPv4\", \t\t\t\t\"value\": \"%s\", \"label\": \"default\"}]", addr);
	if (n < 0)
		return;
	webapp_http_asset(conn, "application/json", reinterpret_cast<const unsigned char *>(body),
			  static_cast<size_t>(n));
}

// The dictionary a page gets when it connects to the endpoint.
void push_state(int endpoint)
{
	if (endpoint == WS_CALLS) {
		webapp_ws_send_json(WS_CALLS, webapp_calls);
		webapp_stream_state_push();
	}
	else if (endpoint == WS_AUDIO)
		webapp_ws_send_json(WS_AUDIO, zvaudio_info());
	else if (endpoint != WS_METER)
		webapp_ws_state_push(endpoint);
	if (endpoint == WS_BARESIP)
		webapp_account_reasons_push();
}

}

const char webapp_http_framing[] =
	"X-Frame-Options: DENY\r\n"
	"Content-Security-Policy: frame-ancestors 'none'\r\n"
	"X-Content-Type-Options: nosniff\r\n";

void webapp_http_error(struct http_conn *conn, uint16_t scode, const char *reason)
{
	char body[256];
	const int n = re_snprintf(body, sizeof(body),
				  "<!DOCTYPE html>\n"
				  "<html>\n"
				  "<head><title>%u %s</title></head>\n"
				  "<body><h2>%u %s</h2></body>\n"
				  "</html>\n",
				  scode, reason, scode, reason);
	if (n < 0)
		return;
	(void)http_reply(conn, scode, reason,
			 "Content-Type: text/html\r\n"
			 "Content-Length: %d\r\n"
			 "%s"
			 "\r\n"
			 "%s",
			 n, webapp_http_framing, body);
}

void webapp_http_reply_room(struct http_conn *conn, size_t body_len)
{
	// The library queues 512 KiB of unsent reply by default and drops the
	// rest of a longer one.
	constexpr size_t queue_default = 524288;
	constexpr size_t header_room = 1024;
	size_t need = body_len + header_room;
	tcp_conn_txqsz_set(http_conn_tcp(conn), need > queue_default ? need : queue_default);
}

void webapp_http_handler(struct http_conn *conn, const struct http_msg *msg, void *)
{
	if (!webapp_http_allowed(msg, webapp_port())) {
		webapp_http_error(conn, 403, "Forbidden");
		return;
	}

	for (const ws_route &r : ws_routes) {
		if (!pl_strcasecmp(&msg->path, r.path)) {
			// A failed upgrade is answered and its connection closed:
			// nothing else would ever answer it.
			if (webapp_ws_accept(conn, r.endpoint, msg, r.recvh)) {
				webapp_http_error(conn, 400, "Bad Request");
				http_conn_close(conn);
			}
			push_state(r.endpoint);
			return;
		}
	}
	if (!pl_strcasecmp(&msg->path, "/status.json")) {
		status_reply(conn);
		return;
	}
	if (!pl_strcasecmp(&msg->path, "/logs.txt")) {
		webapp_logs_reply(conn);
		return;
	}
	for (const file_route &r : file_routes) {
		if (!pl_strcasecmp(&msg->path, r.path)) {
			webapp_http_asset(conn, r.ctype, r.body, *r.len);
			return;
		}
	}
	webapp_http_error(conn, 404, "Not found");
}
