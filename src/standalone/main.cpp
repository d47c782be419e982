// The life of the process: start-up, the main loop and the shutdown chain.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <getopt.h>
#include <initializer_list>
#include <signal.h>
#include <unistd.h>

#include "module_table.h"

#define DEBUG_MODULE "main"
#define DEBUG_LEVEL 5
#include <re_dbg.h>

#include "listener.h"
#include "platform.h"
#include "sip_stop.h"
#include "tray.h"
#include "webapp.h"
#include "ws.h"
#include "zvaudio.h"
#include "zvcacert.h"
#include "zvconf.h"

namespace {

bool terminating;
const char *given_path;

const char usage_text[] =
	"Usage: zorvane-standalone [options]\n"
	"options:\n"
	"\t-f <path>        Config path\n"
	"\t-h -?            Help\n"
	"\t-r               Reset configuration\n"
	"\t-s               Enable SIP trace\n"
	"\t-t <sec>         Quit after <sec> seconds\n"
	"\t-v               Verbose debug\n";

void fatal_error_box(const char *fmt, ...)
{
	char text[1024];
	va_list ap;
	va_start(ap, fmt);
	re_vsnprintf(text, sizeof(text), fmt, ap);
	va_end(ap);

	warning("%s\n", text);
	zv_message_box("Zorvane", text);
}

void quit_timer_expired(void *arg)
{
	(void)arg;
	zv_sip_stop();
}

void on_ua_exit(void *arg)
{
	(void)arg;
	debug("ua exited -- stopping main runloop\n");
	zv_sip_stop_done();
	// The pages' websockets end while the loop still runs.
	webapp_ws_stop(re_cancel);
}

void on_signal(int sig)
{
	if (terminating) {
		zv_module_app_unload();
		mod_close();
		std::exit(0);
	}

	terminating = true;
	info("terminated by signal %d\n", sig);
	zv_sip_stop();
}

void on_tray_command(int id, void *data, void *arg)
{
	(void)data;
	(void)arg;
	switch (id) {
	case TRAY_CMD_QUIT:
		info("quit from tray menu\n");
		zv_sip_stop();
		break;
	case TRAY_CMD_OPEN_RECORDINGS:
		zvaudio_open_folder();
		break;
	default:
		break;
	}
}

// SIGHUP (the end of the desktop session), SIGTERM and SIGINT end the
// program in order wherever they arrive. From the first line of main on,
// each of them only writes its number into a pipe, so that nothing start-up
// does is cut off halfway; the main loop reads the pipe once it runs and
// takes the orderly path of on_signal on the main thread. While the loop
// runs it catches SIGTERM and SIGINT itself; SIGHUP it never catches, so
// that one keeps coming through the pipe. The handlers and the pipe stay
// until the process ends: a signal during the shutdown chain changes
// nothing.
int signal_pipe[2] = {-1, -1};

void signal_noted(int sig)
{
	const int saved = errno;
	const unsigned char number = static_cast<unsigned char>(sig);
	ssize_t n = write(signal_pipe[1], &number, 1);
	(void)n;
	errno = saved;
}

void signal_readable(int flags, void *arg)
{
	(void)flags;
	(void)arg;
	unsigned char numbers[16];
	ssize_t n;
	while ((n = read(signal_pipe[0], numbers, sizeof(numbers))) > 0) {
		for (ssize_t i = 0; i < n; ++i)
			on_signal(numbers[i]);
	}
}

void signals_note()
{
	if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK))
		return;
	struct sigaction sa = {};
	sa.sa_handler = signal_noted;
	sigemptyset(&sa.sa_mask);
	sa.sa_flags = SA_RESTART;
	for (int sig : {SIGHUP, SIGTERM, SIGINT})
		sigaction(sig, &sa, nullptr);
}

void signals_listen()
{
	if (signal_pipe[0] >= 0)
		(void)fd_listen(signal_pipe[0], FD_READ, signal_readable, nullptr);
}

void signals_unlisten()
{
	if (signal_pipe[0] >= 0)
		fd_close(signal_pipe[0]);
}

void shutdown_chain()
{
	ua_close();
	zv_module_app_unload();
	conf_close();
	baresip_close();
	mod_close();
	zv_thread_async_close();
	signals_unlisten();
	tray_loop_close();
	tmr_debug();
	libre_close();
	mem_debug();
	tray_close();
}

int fatal(int err, struct tmr *quit_timer)
{
	char home[512] = "";
	const char *dir = zvconf_dir();
	if (!*dir)
		dir = given_path;
	if (!dir) {
		if (zv_home_dir(home, sizeof(home)) == 0)
			str_ncpy(home + str_len(home), "/.zorvane", sizeof(home) - str_len(home));
		dir = home;
	}

	fatal_error_box(
		"Zorvane could not be started (%H).\n\n"
		"The log files can help to find the reason, see the \"logs\" folder in %s",
		ZV_ERRNO(err), dir);
	tmr_cancel(quit_timer);
	ua_stop_all(true);
	shutdown_chain();
	return err;
}

}

int main(int argc, char **argv)
{
	signals_note();
	zv_console_attach();
	setbuf(stdout, nullptr);
	re_fprintf(stdout, "%s\n", zvconf_software());

	struct tmr quit_timer;
	tmr_init(&quit_timer);

	int err = libre_init();
	if (err)
		return fatal(err, &quit_timer);
	signals_listen();

	bool reset = false, sip_trace = false;
	int quit_delay = 0;
	int debug_level = DBG_INFO;
	for (;;) {
		int opt = getopt(argc, argv, "f:hrst:v");
		if (opt < 0)
			break;
		switch (opt) {
		case 'f':
			given_path = optarg;
			zvconf_path_set(optarg);
			break;
		case 'r':
			reset = true;
			break;
		case 's':
			sip_trace = true;
			break;
		case 't':
			quit_delay = std::atoi(optarg);
			break;
		case 'v':
			log_enable_debug(true);
			debug_level = DBG_DEBUG;
			break;
		default:
			re_fprintf(stderr, "%s", usage_text);
			return -2;
		}
	}

	dbg_init(debug_level, DBG_ANSI);

	if (!given_path && instance_check()) {
		signals_unlisten();
		libre_close();
		return 0;
	}

	err = zvconf_configure(reset);
	if (err) {
		warning("main: configure failed: %H\n", ZV_ERRNO(err));
		return fatal(err, &quit_timer);
	}

	(void)zv_thread_async_init(4);

	err = baresip_init(conf_config());
	if (err) {
		warning("main: baresip init failed (%H)\n", ZV_ERRNO(err));
		return fatal(err, &quit_timer);
	}

	err = ua_init(zvconf_software(), true, true, true);
	if (err)
		return fatal(err, &quit_timer);

	uag_set_exit_handler(on_ua_exit, nullptr);

	if (struct tls *tls = uag_tls())
		(void)zvcacert_tls_add(tls);

	if (sip_trace)
		uag_enable_sip_trace(true);

	err = tray_init(on_tray_command, zvconf_software());
	if (err)
		warning("main: tray icon failed (%H)\n", ZV_ERRNO(err));

	err = zv_conf_modules(zv_module_table, zv_module_count);
	if (err)
		return fatal(err, &quit_timer);

	// The tray opens the port the web module really listens on: after a
	// fallback from a busy configured port, webapp.conf still names the
	// configured one, which then belongs to another program.
	tray_set_port(webapp_port());

	info("zorvane is ready.\n");

	// A delay that is not positive starts no timer.
	if (quit_delay > 0)
		tmr_start(&quit_timer, static_cast<uint64_t>(quit_delay) * 1000, quit_timer_expired,
			  nullptr);

	err = re_main(on_signal);
	if (err)
		return fatal(err, &quit_timer);

	tmr_cancel(&quit_timer);
	shutdown_chain();
	return 0;
}
