#include "webapp_file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "webapp_json.h"

namespace {

// Writes what print puts into a file beside path, then renames it over path.
// The new file keeps the old one's permissions.
template <typename Print>
int replace_file(const char *path, Print print)
{
	char tmp[264];
	if (re_snprintf(tmp, sizeof(tmp), "%s.tmp", path) < 0)
		return ENOMEM;

	FILE *f = fopen(tmp, "w");
	if (!f)
		return errno;

	struct stat old;
	bool ok = stat(path, &old) != 0 || fchmod(fileno(f), old.st_mode & 07777) == 0;
	ok = print(f) == 0 && ok;
	ok = fflush(f) == 0 && ok;
	ok = !ferror(f) && ok;
	ok = fsync(fileno(f)) == 0 && ok;
	ok = fclose(f) == 0 && ok;
	if (ok && rename(tmp, path) == 0)
		return 0;
	(void)unlink(tmp);
	return EIO;
}

}

int webapp_file_path(char *path, size_t size, const char *name)
{
	char dir[256];
	int err = conf_path_get(dir, sizeof(dir));
	if (err)
		return err;
	int n = re_snprintf(path, size, "%s/%s", dir, name);
	if (n < 0 || static_cast<size_t>(n) >= size)
		return ENOMEM;
	return 0;
}

int webapp_file_read(struct mbuf *mb, const char *path)
{
	int fd = open(path, O_RDONLY);
	if (fd < 0)
		return errno;

	int err = 0;
	for (;;) {
		uint8_t block[1024];
		ssize_t n = read(fd, block, sizeof(block));
		if (n == 0)
			break;
		if (n < 0) {
			if (errno == EINTR)
				continue;
			err = errno;
			break;
		}
		err |= mbuf_write_mem(mb, block, static_cast<size_t>(n));
	}
	(void)close(fd);
	return err;
}

int webapp_file_write(const char *text, const char *path)
{
	return replace_file(path, [text](FILE *f) {
		return re_fprintf(f, "%s", text) < 0 ? EIO : 0;
	});
}

int webapp_json_write(const struct odict *dict, const char *path)
{
	return replace_file(path, [dict](FILE *f) {
		if (!dict)
			return 0;
		return re_fprintf(f, "%H", json_encode_odict, dict) < 0 ? EIO : 0;
	});
}

int webapp_json_load(struct odict **op, const char *path)
{
	struct mbuf *mb = mbuf_alloc(8192);
	if (!mb)
		return ENOMEM;

	int err = webapp_file_read(mb, path);
	if (err)
		err = ENOENT;
	else
		err = webapp_json_decode(op, reinterpret_cast<const char *>(mb->buf), mb->end);
	mem_deref(mb);
	return err;
}

int webapp_record_add(struct odict *dict, const struct odict *record)
{
	if (!dict || !record)
		return 0;

	char key[4];
	unsigned n = 0;
	for (; n < 100; ++n) {
		(void)re_snprintf(key, sizeof(key), "%u", n);
		if (!odict_lookup(dict, key))
			break;
	}
	if (n == 100) {
		warning("webapp: no free record number: record not added\n");
		return ENOSPC;
	}

	struct odict *copy = nullptr;
	int err = odict_alloc(&copy, 32);
	if (err)
		return err;
	for (const struct le *le = record->lst.head; le && !err; le = le->next) {
		const auto *e = static_cast<const struct odict_entry *>(le->data);
		if (e->type == ODICT_STRING && str_cmp(e->key, "command"))
			err = odict_entry_add(copy, e->key, ODICT_STRING, e->u.str);
	}
	if (!err)
		err = odict_entry_add(dict, key, ODICT_OBJECT, copy);
	mem_deref(copy);
	return err;
}
