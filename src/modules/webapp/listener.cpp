#include "listener.h"

#include <cerrno>
#include <string>

#include "http_listen.h"
#include "http_routes.h"
#include "platform.h"
#include "save_report.h"
#include "service.h"
#include "settings_file.h"
#include "webapp.h"
#include "file.h"

struct http_sock *webapp_http_sock;
bool webapp_auto_answer;

namespace {

// The service's provisioning server, unless webapp.conf names another.
char provisioning_host[100] = ZV_SERVICE_PROVISIONING_HOST;
char url[100];
uint16_t bound_port;

int http_listen_once(const struct sa *addr)
{
	return zv_http_listen(&webapp_http_sock, addr, webapp_http_handler, nullptr);
}

// zv_port as written: decimal digits, else 0 as the library's reader gives.
// A number above 65535, however long, is no port: warned about and 0 (the
// library's reader would wrap it, 4294967297 to port 1).
uint16_t conf_port(const struct conf *conf)
{
	struct pl text;
	if (conf_get(conf, "zv_port", &text))
		return 0;
	uint32_t port = 0;
	for (size_t i = 0; i < text.l; ++i) {
		const char c = text.p[i];
		if (c < '0' || c > '9')
			return 0;
		if (port <= UINT16_MAX)
			port = port * 10 + static_cast<uint32_t>(c - '0');
	}
	if (port > UINT16_MAX) {
		warning("webapp: zv_port %r is no port number -- using a new port\n", &text);
		return 0;
	}
	return static_cast<uint16_t>(port);
}

}

const char *webapp_provisioning_host(void)
{
	return provisioning_host;
}

uint16_t webapp_port(void)
{
	return webapp_http_sock ? bound_port : 0;
}

const char *webapp_url(void)
{
	return url;
}

int webapp_conf_listen(void)
{
	char listen[256] = "127.0.0.1";
	uint16_t port = 0;

	char dir[256];
	int err = conf_path_get(dir, sizeof(dir));
	if (err)
		return err;
	char path[256];
	if (re_snprintf(path, sizeof(path), "%s/webapp.conf", dir) < 0)
		return ENOMEM;

	// A file that is there but cannot be used is neither read nor
	// replaced: the defaults serve this start.
	std::string text;
	const int read_err = zv_settings_read(path, text);
	const bool usable = !read_err || read_err == ENOENT;
	if (!usable)
		warning("webapp: %s cannot be used (%H): it is left as it is\n", path,
			ZV_ERRNO(read_err));
	struct conf *conf = nullptr;
	if (!read_err && conf_alloc_buf(&conf, reinterpret_cast<const uint8_t *>(text.data()),
					text.size()) == 0) {
		(void)conf_get_str(conf, "zv_listen", listen, sizeof(listen));
		port = conf_port(conf);
		(void)conf_get_bool(conf, "zv_auto_answer", &webapp_auto_answer);
		(void)conf_get_str(conf, "zv_provisioning_host", provisioning_host,
				   sizeof(provisioning_host));
		mem_deref(conf);
	}
	info("webapp.conf/provisioning_host: %s\n", provisioning_host);

	struct sa addr;
	err = sa_set_str(&addr, listen, port);
	if (err)
		return err;

	bool first_attempt = true;
	err = http_listen_once(&addr);
	if (err) {
		if (port == 0)
			return err;
		warning("webapp: port %u is in use (%H), maybe another Zorvane process "
			"(DAW plugin sandbox?) -- using a new port\n",
			port, ZV_ERRNO(err));
		first_attempt = false;
		sa_set_port(&addr, 0);
		err = http_listen_once(&addr);
		if (err)
			return err;
	}

	struct sa local;
	err = tcp_sock_local_get(http_sock_tcp(webapp_http_sock), &local);
	if (err) {
		webapp_http_sock = static_cast<struct http_sock *>(mem_deref(webapp_http_sock));
		return err;
	}
	bound_port = sa_port(&local);

	char port_text[10];
	(void)re_snprintf(port_text, sizeof(port_text), "%d", bound_port);
	(void)re_snprintf(url, sizeof(url), "http://127.0.0.1:%s/", port_text);
	info("http listening on ip: %s port: %s\n", listen, port_text);

	if (first_attempt && usable) {
		char lines[512];
		if (re_snprintf(lines, sizeof(lines),
				"zv_listen\t%s\nzv_port\t%s\nzv_auto_answer\t%d\n"
				"zv_provisioning_host\t%s\n",
				listen, port_text, webapp_auto_answer ? 1 : 0,
				provisioning_host) >= 0) {
			err = webapp_file_write(lines, path);
			if (err)
				webapp_save_failed(path, err);
		}
	}
	return 0;
}

int webapp_open_browser(void)
{
	int err = zv_shell_open(url);
	if (err == EINVAL)
		return EINVAL;
	return err ? EIO : 0;
}
