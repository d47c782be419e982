#include "http_listen.h"

#include <sys/socket.h>

int zv_http_listen(struct http_sock **sockp, const struct sa *laddr, http_req_h *reqh, void *arg)
{
	struct http_sock *sock = nullptr;
	int err = http_listen(&sock, laddr, reqh, arg);
	if (err)
		return err;
	// Listening again on the listening socket only changes its queue.
	err = tcp_sock_listen(http_sock_tcp(sock), SOMAXCONN);
	if (err) {
		mem_deref(sock);
		return err;
	}
	*sockp = sock;
	return 0;
}
