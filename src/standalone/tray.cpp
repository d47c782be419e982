#include "tray.h"

#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include "instance_lock.h"
#include "instance_port.h"
#include "platform.h"
#include "sipstack.h"
#include "tray_actions.h"
#include "tray_bus.h"
#include "tray_hint.h"
#include "tray_queue.h"

namespace {

constexpr int query_tries = 50;
constexpr int query_timeout_ms = 1000;
constexpr int query_pause_ms = 100;
constexpr int join_timeout_s = 5;

struct tray_state {
	tray_command_h *handler = nullptr;
	bool queue_open = false;
	char tooltip[512] = "";
	char log_folder[512] = "";
	std::atomic<uint32_t> port{0};

	int lock_fd = -1; // the single-instance lock, -1 when not held
	bool thread_started = false;
	pthread_t thread{};
	int wake_fd = -1; // wakes the tray thread: port change or close
	std::atomic<bool> closing{false};

	std::mutex ready_mutex;
	std::condition_variable ready_cv;
	bool ready = false;
	int error = 0;
	int socket_error = 0; // the port query socket's, logged by the main thread
};

tray_state tray;

void wake_thread()
{
	if (tray.wake_fd < 0)
		return;
	const uint64_t one = 1;
	ssize_t n = write(tray.wake_fd, &one, sizeof(one));
	(void)n;
}

void set_ready(int wake_fd, int error)
{
	std::lock_guard<std::mutex> lock(tray.ready_mutex);
	tray.wake_fd = wake_fd;
	tray.error = error;
	tray.ready = true;
	tray.ready_cv.notify_all();
}

// The tooltip holds at most 127 characters.
void copy_tooltip(const char *software)
{
	if (!software)
		software = "";
	size_t len = 0, chars = 0;
	for (; software[len] && len < sizeof(tray.tooltip) - 1; ++len) {
		const bool starts_char = (static_cast<unsigned char>(software[len]) & 0xc0) != 0x80;
		if (starts_char && ++chars > 127)
			break;
	}
	std::memcpy(tray.tooltip, software, len);
	tray.tooltip[len] = '\0';
}

void close_bus(tray_bus **bus)
{
	tray_bus_close(*bus);
	*bus = nullptr;
}

void *tray_thread_main(void *)
{
	int wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
	if (wake < 0) {
		set_ready(-1, EINVAL);
		return nullptr;
	}

	// Only the first instance answers the port query; without the socket a
	// second start simply finds no instance to hand over to.
	int listen_fd = -1;
	if (tray.lock_fd >= 0)
		tray.socket_error = zv_instance_port_listen(&listen_fd);

	const bool hint = tray_hint_wanted();
	set_ready(wake, 0);

	// Without a session bus there is no icon; the port query still works.
	tray_bus *bus = nullptr;
	if (tray_bus_open(&bus, hint))
		bus = nullptr;

	while (!tray.closing) {
		struct pollfd fds[3] = {
			{wake, POLLIN, 0},
			{listen_fd, POLLIN, 0},
			{bus ? tray_bus_fd(bus) : -1, bus ? tray_bus_events(bus) : short(0), 0},
		};
		int n = poll(fds, 3, bus ? tray_bus_timeout(bus) : -1);
		if (n < 0 && errno != EINTR)
			break;
		if (n < 0)
			continue;

		if (fds[0].revents) {
			uint64_t count;
			ssize_t got = read(wake, &count, sizeof(count));
			(void)got;
			if (bus)
				tray_bus_port_changed(bus);
		}
		if (fds[1].revents)
			zv_instance_port_answer(listen_fd, tray_port());
		if (bus && tray_bus_process(bus))
			close_bus(&bus);
	}

	close_bus(&bus);
	zv_instance_port_close(listen_fd);
	return nullptr;
}

// Stops the thread and frees what it used; the instance lock stays. False
// when the thread did not end in time.
bool tray_stop()
{
	if (tray.thread_started) {
		tray.closing = true;
		wake_thread();

		struct timespec deadline;
		clock_gettime(CLOCK_REALTIME, &deadline);
		deadline.tv_sec += join_timeout_s;
		tray.thread_started = false;
		if (pthread_timedjoin_np(tray.thread, nullptr, &deadline)) {
			// The thread may still post into the queue and read the state:
			// both stay for the rest of the process.
			pthread_detach(tray.thread);
			tray.queue_open = false;
			tray.wake_fd = -1;
			return false;
		}
	}

	if (tray.wake_fd >= 0)
		close(tray.wake_fd);
	tray.wake_fd = -1;
	if (tray.queue_open)
		tray_queue_close();
	tray.queue_open = false;
	tray.ready = false;
	tray.closing = false;
	tray.error = tray.socket_error = 0;
	return true;
}

}

uint16_t tray_port(void)
{
	return static_cast<uint16_t>(tray.port.load() & 0xffff);
}

const char *tray_tooltip(void)
{
	return tray.tooltip;
}

namespace {

// Opens the page of the web module that listens on port.
void open_page_at(uint16_t port)
{
	char url[64];
	re_snprintf(url, sizeof(url), "http://127.0.0.1:%u/", static_cast<unsigned>(port));
	(void)zv_shell_open(url);
}

}

void tray_open_page(void)
{
	const uint16_t port = tray_port();
	if (port)
		open_page_at(port);
}

void tray_open_logs(void)
{
	if (tray.log_folder[0])
		(void)zv_shell_open(tray.log_folder);
}

void tray_post(int cmd)
{
	tray_queue_push(cmd);
}

bool instance_check(void)
{
	int err = zv_instance_lock(&tray.lock_fd);
	if (err != EWOULDBLOCK) {
		// Also when no lock could be made: this process runs as the first.
		if (err)
			warning("tray: no single-instance lock (%H)\n", ZV_ERRNO(err));
		return false;
	}

	uint16_t port = 0;
	for (int i = 0; i < query_tries; ++i) {
		if (zv_instance_port_query(&port, query_timeout_ms) == 0 && port)
			break;
		port = 0;
		usleep(query_pause_ms * 1000);
	}

	if (port)
		open_page_at(port);
	return true;
}

int tray_init(tray_command_h *handler, const char *software)
{
	tray.handler = handler;
	copy_tooltip(software);

	char dir[256];
	tray.log_folder[0] = '\0';
	if (conf_path_get(dir, sizeof(dir)) == 0)
		re_snprintf(tray.log_folder, sizeof(tray.log_folder), "%s/logs", dir);

	int err = tray_queue_open();
	if (err)
		return err;
	tray.queue_open = true;

	tray.ready = false;
	if (zv_thread_create(&tray.thread, tray_thread_main, nullptr)) {
		err = ENOMEM;
	}
	else {
		tray.thread_started = true;
		std::unique_lock<std::mutex> lock(tray.ready_mutex);
		tray.ready_cv.wait(lock, [] { return tray.ready; });
		err = tray.error;
		if (tray.socket_error)
			warning("tray: port query socket failed (%H)\n",
				ZV_ERRNO(tray.socket_error));
	}

	// A tray that failed to start keeps the instance lock: this process
	// still runs on its configuration directory.
	if (err)
		(void)tray_stop();
	return err;
}

void tray_set_port(uint16_t port)
{
	tray.port.exchange(port);
	wake_thread();
}

void tray_loop_close(void)
{
	tray_queue_unwatch();
}

void tray_close(void)
{
	// A thread that is still running keeps serving the port socket, so the
	// lock stays with it until the process ends.
	if (!tray_stop())
		return;
	if (tray.lock_fd >= 0)
		zv_instance_unlock(tray.lock_fd);
	tray.lock_fd = -1;
}

void tray_queue_handler(int id, void *data, void *arg)
{
	if (tray.handler)
		tray.handler(id, data, arg);
}
