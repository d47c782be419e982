#include "tray_queue.h"

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include "sipstack.h"
#include "tray.h"

namespace {

int queue_fds[2] = {-1, -1};
bool watched;

void queue_readable(int flags, void *)
{
	if (!(flags & FD_READ))
		return;
	// Ids are written whole (far below the pipe's atomic size).
	int id;
	while (read(queue_fds[0], &id, sizeof(id)) == sizeof(id))
		tray_queue_handler(id, nullptr, nullptr);
}

}

int tray_queue_open(void)
{
	if (pipe2(queue_fds, O_NONBLOCK | O_CLOEXEC))
		return errno;
	int err = fd_listen(queue_fds[0], FD_READ, queue_readable, nullptr);
	watched = !err;
	if (err)
		tray_queue_close();
	return err;
}

void tray_queue_push(int id)
{
	if (queue_fds[1] < 0)
		return;
	ssize_t n = write(queue_fds[1], &id, sizeof(id));
	(void)n;
}

void tray_queue_unwatch(void)
{
	if (watched)
		fd_close(queue_fds[0]);
	watched = false;
}

void tray_queue_close(void)
{
	tray_queue_unwatch();
	if (queue_fds[0] >= 0)
		close(queue_fds[0]);
	if (queue_fds[1] >= 0)
		close(queue_fds[1]);
	queue_fds[0] = queue_fds[1] = -1;
}
