#include "instance_port.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include "runtime_dir.h"

namespace {

int socket_address(struct sockaddr_un *addr)
{
	char dir[sizeof(addr->sun_path)];
	int err = zv_runtime_dir(dir, sizeof(dir));
	if (err)
		return err;

	*addr = {};
	addr->sun_family = AF_UNIX;
	int n = std::snprintf(addr->sun_path, sizeof(addr->sun_path), "%s/standalone.sock", dir);
	if (n < 0 || static_cast<size_t>(n) >= sizeof(addr->sun_path))
		return ENAMETOOLONG;
	return 0;
}

// Reads the whole answer (the server closes after it) until the deadline.
int read_answer(int fd, char *buf, size_t size, int timeout_ms)
{
	using clock = std::chrono::steady_clock;
	const auto deadline = clock::now() + std::chrono::milliseconds(timeout_ms);
	size_t len = 0;
	for (;;) {
		auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline -
										  clock::now());
		if (left.count() <= 0)
			return ETIMEDOUT;
		struct pollfd pfd = {fd, POLLIN, 0};
		int n = poll(&pfd, 1, static_cast<int>(left.count()));
		if (n < 0 && errno == EINTR)
			continue;
		if (n < 0)
			return errno;
		if (n == 0)
			return ETIMEDOUT;

		ssize_t got = read(fd, buf + len, size - 1 - len);
		if (got < 0 && (errno == EINTR || errno == EAGAIN))
			continue;
		if (got < 0)
			return errno;
		if (got == 0)
			break;
		len += static_cast<size_t>(got);
		if (len == size - 1)
			return EPROTO;
	}
	buf[len] = '\0';
	return 0;
}

}

int zv_instance_port_listen(int *fd)
{
	if (!fd)
		return EINVAL;

	struct sockaddr_un addr;
	int err = socket_address(&addr);
	if (err)
		return err;

	int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (sock < 0)
		return errno;

	// A socket left by an instance that died; only the lock holder gets here.
	(void)unlink(addr.sun_path);
	if (bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr)) ||
	    listen(sock, 16)) {
		err = errno;
		close(sock);
		return err;
	}

	*fd = sock;
	return 0;
}

void zv_instance_port_answer(int listen_fd, uint16_t port)
{
	char text[8];
	int len = std::snprintf(text, sizeof(text), "%u\n", static_cast<unsigned>(port));

	for (;;) {
		int conn = accept4(listen_fd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
		if (conn < 0) {
			if (errno == EINTR || errno == ECONNABORTED)
				continue;
			return;
		}
		// A fresh connection's buffer always takes the few bytes at once.
		(void)send(conn, text, static_cast<size_t>(len), MSG_NOSIGNAL | MSG_DONTWAIT);
		close(conn);
	}
}

void zv_instance_port_close(int listen_fd)
{
	if (listen_fd < 0)
		return;

	struct sockaddr_un addr;
	if (socket_address(&addr) == 0)
		(void)unlink(addr.sun_path);
	close(listen_fd);
}

int zv_instance_port_query(uint16_t *port, int timeout_ms)
{
	if (!port)
		return EINVAL;

	struct sockaddr_un addr;
	int err = socket_address(&addr);
	if (err)
		return err;

	int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
	if (sock < 0)
		return errno;

	// A full backlog (EAGAIN) is an instance that does not answer in time.
	if (connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof(addr))) {
		err = errno == EAGAIN ? ETIMEDOUT : errno;
		close(sock);
		return err;
	}

	char answer[16];
	err = read_answer(sock, answer, sizeof(answer), timeout_ms);
	close(sock);
	if (err)
		return err;

	unsigned long value = 0;
	const char *p = answer;
	if (*p < '0' || *p > '9')
		return EPROTO;
	while (*p >= '0' && *p <= '9') {
		value = value * 10 + static_cast<unsigned long>(*p - '0');
		if (value > UINT16_MAX)
			return EPROTO;
		++p;
	}
	if (std::strcmp(p, "\n") != 0)
		return EPROTO;

	*port = static_cast<uint16_t>(value);
	return 0;
}
