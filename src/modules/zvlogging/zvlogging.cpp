#include "zvlogging.h"

#include <cerrno>
#include <cstdio>
#include <ctime>
#include <fcntl.h>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

#include "zv_version.h"

namespace {

constexpr unsigned file_count = 7;

// Other threads may log while the module closes: the lock lives as long as
// the process and is never destroyed.
std::mutex &file_lock()
{
	static std::mutex *lock = new std::mutex;
	return *lock;
}

FILE *log_file;

struct log zvlogging_log = {LE_INIT, zvlogging_log_handler};

const char *level_name(uint32_t level)
{
	switch (level) {
	case 0:
		return "DEBUG";
	case 1:
		return "INFO";
	case 2:
		return "WARN";
	default:
		return "ERROR";
	}
}

bool file_name(char *buf, size_t size, const char *folder, unsigned n)
{
	return re_snprintf(buf, size, "%s/zorvane.%u.log", folder, n) >= 0;
}

// True when another process writes this file: it holds a lock on it, which
// stands in for the share mode that denies others to write.
bool held_by_other_process(const char *file)
{
	int fd = open(file, O_RDONLY | O_CLOEXEC);
	if (fd < 0)
		return false;
	bool held = flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
	close(fd);
	return held;
}

void rotate(const char *folder)
{
	char older[512], newer[512];
	if (!file_name(older, sizeof(older), folder, file_count - 1))
		return;
	std::remove(older);

	for (unsigned n = file_count - 1; n >= 1; n--) {
		if (!file_name(newer, sizeof(newer), folder, n - 1) ||
		    !file_name(older, sizeof(older), folder, n))
			return;
		if (n == 1 && held_by_other_process(newer))
			return;
		std::remove(older);
		std::rename(newer, older);
	}
}

// Opens the file for writing, truncated, with other writers kept out.
// NULL with errno set on failure.
FILE *open_denying_writers(const char *file)
{
	int fd = open(file, O_WRONLY | O_CREAT | O_CLOEXEC, 0600);
	if (fd < 0)
		return nullptr;

	if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
		int err = errno == EWOULDBLOCK ? EACCES : errno;
		close(fd);
		errno = err;
		return nullptr;
	}

	FILE *f = nullptr;
	if (ftruncate(fd, 0) == 0)
		f = fdopen(fd, "w");
	if (!f) {
		int err = errno;
		close(fd);
		errno = err;
	}
	return f;
}

int print_network(struct re_printf *pf, void *arg)
{
	(void)arg;
	return net_debug(pf, baresip_network());
}

}

int zvlogging_init(void)
{
	char folder[256];
	int err = conf_path_get(folder, sizeof(folder));
	if (err)
		return err;
	if (str_len(folder) + 5 >= sizeof(folder))
		return ENOMEM;
	str_ncpy(folder + str_len(folder), "/logs", 6);

	if (!fs_isdir(folder)) {
		err = fs_mkdir(folder, 0700);
		if (err) {
			warning("zvlogging: mkdir %s failed (%H)\n", folder, ZV_ERRNO(err));
			return err;
		}
	}

	rotate(folder);

	char current[512];
	if (!file_name(current, sizeof(current), folder, 0))
		return ENOMEM;

	errno = 0;
	FILE *f = open_denying_writers(current);
	if (!f && errno) {
		err = errno;
		warning("zvlogging: open %s failed (%H)\n", current, ZV_ERRNO(err));
		return err;
	}
	{
		std::lock_guard<std::mutex> guard(file_lock());
		log_file = f;
	}

	log_register_handler(&zvlogging_log);

	info("zvlogging: started (%s)\n", folder);
	info("zvlogging: Version %s (baresip %s)\n", ZV_VERSION, BARESIP_VERSION);
	info("zvlogging: Machine %s/%s\n", sys_arch_get(), sys_os_get());
	info("zvlogging: Kernel %H\n", sys_kernel_get, nullptr);
	info("zvlogging: Build %H\n", sys_build_get, nullptr);
	info("zvlogging: Network %H\n", print_network, nullptr);
	return 0;
}

int zvlogging_close(void)
{
	log_unregister_handler(&zvlogging_log);

	std::lock_guard<std::mutex> guard(file_lock());
	if (log_file) {
		std::fclose(log_file);
		log_file = nullptr;
	}
	return 0;
}

void zvlogging_log_handler(uint32_t level, const char *msg)
{
	time_t now = std::time(nullptr);
	char stamp[32] = "";
	if (!msg)
		return;

	struct tm local;
	if (localtime_r(&now, &local))
		std::strftime(stamp, sizeof(stamp), "%Y-%m-%d %H:%M:%S", &local);

	size_t len = str_len(msg);
	const char *ending = (len && msg[len - 1] == '\n') ? "" : "\n";

	std::lock_guard<std::mutex> guard(file_lock());
	if (!log_file)
		return;
	std::fprintf(log_file, "%s %-5s %s%s", stamp, level_name(level), msg, ending);
	std::fflush(log_file);
}

extern "C" const struct mod_export exports_zvlogging = {
	"zvlogging",
	"application",
	zvlogging_init,
	zvlogging_close,
};
