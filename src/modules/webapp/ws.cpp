#include "ws.h"

#include <sys/socket.h>

#include "sip_stop.h"
#include "utf8.h"
#include "webapp.h"

namespace {

struct webapp_ws_conn {
	struct websock_conn *wc;
	struct le le;
	int endpoint;
};

struct websock *webapp_ws_sock;
struct list webapp_ws_list;
int webapp_ws_count;
struct tmr webapp_ws_quit_tmr;

// A stop under way: what runs once every page's connection has gone, and
// the bound on the wait for that.
void (*webapp_ws_stopped)(void);
struct tmr webapp_ws_stop_tmr;
constexpr uint64_t stop_wait_ms = 1000;

void conn_destructor(void *arg)
{
	auto *conn = static_cast<webapp_ws_conn *>(arg);
	list_unlink(&conn->le);
	mem_deref(conn->wc);
}

void webapp_ws_quit(void *)
{
	zv_sip_stop();
}

void webapp_ws_stop_done(void *)
{
	tmr_cancel(&webapp_ws_stop_tmr);
	auto *done = webapp_ws_stopped;
	webapp_ws_stopped = nullptr;
	if (done)
		done();
}

void webapp_ws_close_handler(int, void *arg)
{
	auto *conn = static_cast<webapp_ws_conn *>(arg);
	debug("websocket closed: %p\n", conn->wc);
	mem_deref(conn);

	--webapp_ws_count;
	if (webapp_ws_stopped) {
		if (webapp_ws_count == 0)
			webapp_ws_stop_done(nullptr);
		return;
	}
	if (!webapp_calls_active() && webapp_ws_count == 0)
		tmr_start(&webapp_ws_quit_tmr, 800, webapp_ws_quit, nullptr);
}

void webapp_ws_shutdown_handler(void *)
{
	info("websocket shutdown\n");
}

int webapp_ws_print_handler(const char *p, size_t size, void *arg)
{
	return mbuf_write_mem(static_cast<struct mbuf *>(arg), reinterpret_cast<const uint8_t *>(p),
			      size);
}

// Sends the n bytes at p, which are valid UTF-8, to the endpoint.
void send_valid(int endpoint, const uint8_t *p, size_t n)
{
	for (struct le *le = webapp_ws_list.head; le; le = le->next) {
		auto *conn = static_cast<webapp_ws_conn *>(le->data);
		if (conn->endpoint == endpoint)
			(void)websock_send(conn->wc, WEBSOCK_TEXT, "%b", p, n);
	}
}

// Sends the n bytes at p to the endpoint, invalid UTF-8 replaced.
void send_bytes(int endpoint, const uint8_t *p, size_t n)
{
	if (utf8_valid(p, n)) {
		send_valid(endpoint, p, n);
		return;
	}
	struct mbuf *mb = mbuf_alloc(n + 64);
	if (!mb)
		return;
	if (utf8_write_sanitized(mb, p, n) == 0)
		send_valid(endpoint, mb->buf, mb->end);
	mem_deref(mb);
}

}

void webapp_ws_send_text(int endpoint, const char *text)
{
	if (!text)
		text = "";
	send_bytes(endpoint, reinterpret_cast<const uint8_t *>(text), str_len(text));
}

void webapp_ws_send_json(int endpoint, const struct odict *dict)
{
	struct mbuf *mb = mbuf_alloc(4096);
	if (!mb)
		return;
	struct re_printf pf = {webapp_ws_print_handler, mb};
	if (!dict || json_encode_odict(&pf, dict) == 0)
		send_bytes(endpoint, mb->buf, mb->end);
	mem_deref(mb);
}

bool webapp_calls_active(void)
{
	for (struct le *le = list_head(uag_list()); le; le = le->next) {
		if (ua_call(static_cast<struct ua *>(le->data)))
			return true;
	}
	return false;
}

void webapp_ws_stop(void (*done)(void))
{
	tmr_cancel(&webapp_ws_quit_tmr);
	webapp_ws_stopped = done;
	if (webapp_ws_count == 0) {
		webapp_ws_stop_done(nullptr);
		return;
	}
	// A connection lives on after its close frame until the page answers;
	// shut down, it ends in the loop's next pass whatever the page does.
	for (struct le *le = webapp_ws_list.head; le; le = le->next) {
		auto *conn = static_cast<webapp_ws_conn *>(le->data);
		(void)websock_close(conn->wc, WEBSOCK_GOING_AWAY, nullptr);
		const int fd = tcp_conn_fd(websock_tcp(conn->wc));
		if (fd >= 0)
			(void)shutdown(fd, SHUT_RDWR);
	}
	tmr_start(&webapp_ws_stop_tmr, stop_wait_ms, webapp_ws_stop_done, nullptr);
}

void webapp_ws_init(void)
{
	tmr_init(&webapp_ws_quit_tmr);
	tmr_init(&webapp_ws_stop_tmr);
	webapp_ws_stopped = nullptr;
	list_init(&webapp_ws_list);
	webapp_ws_count = 0;
	if (websock_alloc(&webapp_ws_sock, webapp_ws_shutdown_handler, nullptr))
		webapp_ws_sock = static_cast<struct websock *>(mem_deref(webapp_ws_sock));
}

void webapp_ws_close(void)
{
	info("webapp_ws_close\n");
	tmr_cancel(&webapp_ws_quit_tmr);
	tmr_cancel(&webapp_ws_stop_tmr);
	webapp_ws_stopped = nullptr;
	for (struct le *le = webapp_ws_list.head; le; le = le->next) {
		auto *conn = static_cast<webapp_ws_conn *>(le->data);
		conn->wc = static_cast<struct websock_conn *>(mem_deref(conn->wc));
	}
	webapp_ws_sock = static_cast<struct websock *>(mem_deref(webapp_ws_sock));
	list_flush(&webapp_ws_list);
	webapp_ws_count = 0;
}

int webapp_ws_accept(struct http_conn *hc, int endpoint, const struct http_msg *msg,
		     websock_recv_h *recvh)
{
	// The library would upgrade any method.
	if (!msg || pl_strcmp(&msg->met, "GET"))
		return EBADMSG;

	auto *conn =
		static_cast<webapp_ws_conn *>(mem_zalloc(sizeof(webapp_ws_conn), conn_destructor));
	if (!conn)
		return ENOMEM;

	if (int err = websock_accept(&conn->wc, webapp_ws_sock, hc, msg, 0, recvh,
				     webapp_ws_close_handler, conn)) {
		mem_deref(conn);
		return err;
	}

	list_append(&webapp_ws_list, &conn->le, conn);
	debug("websocket created: %p\n", conn->wc);
	conn->endpoint = endpoint;
	++webapp_ws_count;
	tmr_cancel(&webapp_ws_quit_tmr);
	return 0;
}
