// The websocket registry and dispatch in the event loop, against the
// library's own websocket client.
#include <gtest/gtest.h>

#include <cerrno>
#include <functional>
#include <string>
#include <vector>

#include "json.h"
#include "ws.h"
#include "ws_dispatch.h"

namespace {

struct client {
	struct websock_conn *conn = nullptr;
	bool open = false;
	std::vector<std::string> got;
};

void client_estab(void *arg)
{
	static_cast<client *>(arg)->open = true;
}

void client_recv(const struct websock_hdr *, struct mbuf *mb, void *arg)
{
	static_cast<client *>(arg)->got.emplace_back(reinterpret_cast<char *>(mbuf_buf(mb)),
						      mbuf_get_left(mb));
}

void client_close(int, void *arg)
{
	static_cast<client *>(arg)->open = false;
}

struct odict *decode(const std::string &s)
{
	struct odict *o = nullptr;
	EXPECT_EQ(webapp_json_decode(&o, s.data(), s.size()), 0);
	return o;
}

// A server that upgrades "/<endpoint number>" with that endpoint's handler
// and pushes its state, as the module's routes do.
void test_http_handler(struct http_conn *conn, const struct http_msg *msg, void *)
{
	struct pl num = {msg->path.p + 1, msg->path.l - 1};
	const int ep = static_cast<int>(pl_u32(&num));
	websock_recv_h *h = ep == WS_BARESIP    ? webapp_ws_baresip_handler
			    : ep == WS_CONTACTS ? webapp_ws_contacts_handler
						: webapp_ws_calls_handler;
	(void)webapp_ws_accept(conn, ep, msg, h);
	webapp_ws_state_push(ep);
}

std::vector<std::string> seen;
void remember(const struct odict *msg)
{
	const char *x = odict_string(msg, "x");
	seen.emplace_back(std::string(odict_string(msg, "command")) + ":" + (x ? x : ""));
}

// The commands seen by one name, in the order they came: the order holds
// within one websocket, not between two.
std::vector<std::string> seen_of(const std::string &command)
{
	std::vector<std::string> of;
	for (const std::string &s : seen)
		if (s.compare(0, command.size() + 1, command + ":") == 0)
			of.push_back(s);
	return of;
}

struct odict *state_dict;
const struct odict *state(void)
{
	return state_dict;
}

struct poll_state {
	std::function<bool()> done;
	struct tmr tick, limit;
	bool ok;
};

void poll_tick(void *arg)
{
	auto *p = static_cast<poll_state *>(arg);
	if (p->done()) {
		p->ok = true;
		re_cancel();
		return;
	}
	tmr_start(&p->tick, 5, poll_tick, p);
}

void poll_limit(void *)
{
	re_cancel();
}

class Registry : public testing::Test {
protected:
	struct http_sock *server = nullptr;
	struct dnsc *dnsc = nullptr;
	struct http_cli *cli = nullptr;
	struct websock *csock = nullptr;
	uint16_t port = 0;
	std::vector<client *> clients;

	void SetUp() override
	{
		ASSERT_EQ(libre_init(), 0);
		webapp_ws_init();
		struct sa addr;
		sa_set_str(&addr, "127.0.0.1", 0);
		ASSERT_EQ(http_listen(&server, &addr, test_http_handler, nullptr), 0);
		struct sa local;
		ASSERT_EQ(tcp_sock_local_get(http_sock_tcp(server), &local), 0);
		port = sa_port(&local);
		struct sa ns;
		sa_set_str(&ns, "127.0.0.1", 53);
		ASSERT_EQ(dnsc_alloc(&dnsc, nullptr, &ns, 1), 0);
		ASSERT_EQ(http_client_alloc(&cli, dnsc), 0);
		ASSERT_EQ(websock_alloc(&csock, nullptr, nullptr), 0);
		seen.clear();
	}

	void TearDown() override
	{
		for (client *c : clients) {
			mem_deref(c->conn);
			delete c;
		}
		webapp_ws_close();
		for (int e : {WS_BARESIP, WS_CALLS, WS_CONTACTS})
			webapp_ws_state_set(e, nullptr);
		mem_deref(csock);
		mem_deref(cli);
		mem_deref(dnsc);
		mem_deref(server);
		state_dict = static_cast<struct odict *>(mem_deref(state_dict));
		libre_close();
	}

	// Runs the event loop until done() holds or ms have passed.
	static bool run_until(std::function<bool()> done, unsigned ms = 5000)
	{
		poll_state p{std::move(done)};
		tmr_init(&p.tick);
		tmr_init(&p.limit);
		tmr_start(&p.tick, 0, poll_tick, &p);
		tmr_start(&p.limit, ms, poll_limit, nullptr);
		(void)re_main(nullptr);
		tmr_cancel(&p.tick);
		tmr_cancel(&p.limit);
		return p.ok;
	}

	static void run_for(unsigned ms)
	{
		(void)run_until([] { return false; }, ms);
	}

	client *connect(int endpoint)
	{
		auto *c = new client;
		clients.push_back(c);
		char uri[64];
		re_snprintf(uri, sizeof(uri), "http://127.0.0.1:%u/%d", port, endpoint);
		EXPECT_EQ(websock_connect(&c->conn, csock, cli, uri, 0, client_estab, client_recv,
					  client_close, c, nullptr),
			  0);
		EXPECT_TRUE(run_until([c] { return c->open; }));
		return c;
	}

	void send(client *c, const char *text)
	{
		ASSERT_EQ(websock_send(c->conn, WEBSOCK_TEXT, "%s", text), 0);
	}
};

TEST_F(Registry, StatePushOnAcceptWithInvalidUtf8Replaced)
{
	state_dict = decode("{}");
	ASSERT_EQ(odict_entry_add(state_dict, "name", ODICT_STRING, "a\xff" "b/c"), 0);
	webapp_ws_state_set(WS_BARESIP, state);

	// The library's client may lose a frame that arrives together with the
	// upgrade's answer, so the push is watched on a page that is already
	// open: every accept pushes to every page of the endpoint.
	client *a = connect(WS_BARESIP);
	run_for(200);
	a->got.clear();
	client *b = connect(WS_BARESIP);
	ASSERT_TRUE(run_until([a] { return a->got.size() == 1; }));
	EXPECT_EQ(a->got[0], "{\"name\":\"a\xef\xbf\xbd" "b\\/c\"}");
	run_for(200);
	b->got.clear();

	// No state set: no push at accept.
	client *c = connect(WS_CONTACTS);
	webapp_ws_send_text(WS_CONTACTS, "x\xc0y");
	ASSERT_TRUE(run_until([c] { return c->got.size() == 1; }));
	EXPECT_EQ(c->got[0], "x\xef\xbf\xbdy");

	// A getter that gives nothing sends an empty message.
	state_dict = static_cast<struct odict *>(mem_deref(state_dict));
	webapp_ws_state_push(WS_BARESIP);
	ASSERT_TRUE(run_until([b] { return b->got.size() == 1; }));
	EXPECT_EQ(b->got[0], "");
	EXPECT_EQ(a->got.size(), 2u);
	EXPECT_EQ(c->got.size(), 1u);
}

TEST_F(Registry, CommandsReachTheirHandlersOnly)
{
	ASSERT_EQ(webapp_ws_command_set(WS_BARESIP, "addsip", remember), 0);
	ASSERT_EQ(webapp_ws_command_set(WS_CALLS, "hangup", remember), 0);
	EXPECT_EQ(webapp_ws_command_set(WS_METER, "x", remember), EINVAL);
	EXPECT_EQ(webapp_ws_command_set(WS_OPTIONS, "x", remember), EINVAL);

	client *b = connect(WS_BARESIP);
	client *k = connect(WS_CALLS);
	send(b, "{\"command\":\"addsip\",\"x\":\"1\"}");
	send(b, "{\"command\":\"hangup\",\"key\":\"1\"}");  // another endpoint's command
	send(b, "{\"command\":\"other\"}");
	send(b, "{\"command\":true}");
	send(b, "{\"command\":\"addsip\",\"x\":\"2\"} trailing");
	send(b, "{\"command\":\"addsip\",\"command\":\"addsip\"}");
	send(k, "{\"command\":\"hangup\"}");                    // no key
	send(k, "{\"command\":\"hangup\",\"key\":\"2\",\"x\":\"k\"}");
	ASSERT_EQ(websock_send(b->conn, WEBSOCK_BIN, "%s", "{\"command\":\"addsip\",\"x\":\"3\"}"), 0);
	ASSERT_TRUE(run_until([] { return seen.size() >= 3; }));
	run_for(300);
	EXPECT_EQ(seen.size(), 3u);
	EXPECT_EQ(seen_of("addsip"), (std::vector<std::string>{"addsip:1", "addsip:3"}));
	EXPECT_EQ(seen_of("hangup"), (std::vector<std::string>{"hangup:k"}));

	// A cleared command is dropped again.
	ASSERT_EQ(webapp_ws_command_set(WS_BARESIP, "addsip", nullptr), 0);
	send(b, "{\"command\":\"addsip\",\"x\":\"4\"}");
	send(k, "{\"command\":\"hangup\",\"key\":\"3\",\"x\":\"end\"}");
	ASSERT_TRUE(run_until([] { return seen.size() >= 4; }));
	run_for(300);
	EXPECT_EQ(seen.back(), "hangup:end");
	EXPECT_EQ(seen.size(), 4u);
	ASSERT_EQ(webapp_ws_command_set(WS_CALLS, "hangup", nullptr), 0);
}

TEST_F(Registry, MessagesOverTheLimitAreDroppedUndecoded)
{
	ASSERT_EQ(webapp_ws_command_set(WS_BARESIP, "addsip", remember), 0);
	client *b = connect(WS_BARESIP);
	const std::string head = "{\"command\":\"addsip\",\"x\":\"";
	const std::string tail = "\"}";
	const std::string longest(webapp_ws_message_max - head.size() - tail.size(), 'a');
	send(b, (head + longest + tail).c_str());
	send(b, (head + longest + "a" + tail).c_str());
	send(b, "{\"command\":\"addsip\",\"x\":\"end\"}");
	ASSERT_TRUE(run_until([] { return seen.size() >= 2; }));
	EXPECT_EQ(seen, (std::vector<std::string>{"addsip:" + longest, "addsip:end"}));
	ASSERT_EQ(webapp_ws_command_set(WS_BARESIP, "addsip", nullptr), 0);
}

}
