// zvcacert_fetch URL: GETs the URL with the HTTP client that trusts the
// linked bundle; exits 0 on "200", 1 on another status, 2 on an error.
#include <cstdio>
#include <cstring>

#include "zvcacert.h"

namespace {

int result = 2;

void response(int err, const struct http_msg *msg, void *arg)
{
	(void)arg;
	if (err)
		std::fprintf(stderr, "fetch: %s\n", strerror(err));
	else
		result = msg->scode == 200 ? 0 : 1;
	re_cancel();
}

}

int main(int argc, char **argv)
{
	if (argc != 2)
		return 3;
	libre_init();

	struct sa ns;
	sa_set_str(&ns, "127.0.0.1", 53);
	struct dnsc *dnsc = nullptr;
	struct http_cli *cli = nullptr;
	struct http_req *req = nullptr;
	if (dnsc_alloc(&dnsc, nullptr, &ns, 1) || zvcacert_http_client_alloc(&cli, dnsc) ||
	    http_request(&req, cli, "GET", argv[1], response, nullptr, nullptr, nullptr))
		return 3;

	re_main(nullptr);

	mem_deref(req);
	mem_deref(cli);
	mem_deref(dnsc);
	libre_close();
	return result;
}
