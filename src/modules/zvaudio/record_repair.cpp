// Recording folders that a crash or a kill left behind: their files hold
// whole frames but no length, and the files of remote tracks without a call
// are still there. A folder's marker says that its recording never
// finished and which remote tracks carried a call; a folder that a normal
// stop finished has no marker and is never touched.
#include "record.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr uint32_t remote_tracks = 6;

// The remote tracks named in the marker, as bits 1 to 6.
uint32_t used_tracks(int marker)
{
	char text[256];
	const ssize_t n = pread(marker, text, sizeof(text) - 1, 0);
	text[n > 0 ? n : 0] = '\0';
	uint32_t used = 0;
	for (char *p = text; *p;) {
		char *end;
		const unsigned long id = strtoul(p, &end, 10);
		if (end == p)
			break;
		if (id >= 1 && id <= remote_tracks)
			used |= 1u << id;
		p = *end ? end + 1 : end;
	}
	return used;
}

// Sets the length of one file; false when it is not there or stays as it
// was.
bool mend_file(const char *path)
{
	const int fd = open(path, O_RDWR | O_CLOEXEC);
	if (fd < 0)
		return false;
	uint64_t frames = 0;
	const int err = flac_mend(fd, &frames);
	close(fd);
	if (err)
		warning("zvaudio/record: %s: the length could not be set (%m)\n", path, err);
	return !err;
}

void repair_folder(const char *dir)
{
	char marker_path[256];
	re_snprintf(marker_path, sizeof(marker_path), "%s/%s", dir, record_marker);
	const int marker = open(marker_path, O_RDONLY | O_CLOEXEC);
	if (marker < 0)
		return;
	// Locked: another instance of the program is recording here. Gone since
	// it was opened: that recording has just finished.
	struct stat sb;
	if (flock(marker, LOCK_EX | LOCK_NB) || fstat(marker, &sb) || sb.st_nlink == 0) {
		close(marker);
		return;
	}
	const uint32_t used = used_tracks(marker);

	unsigned mended = 0, removed = 0;
	char path[256];
	re_snprintf(path, sizeof(path), "%s/local.flac", dir);
	mended += mend_file(path);
	for (uint32_t id = 1; id <= remote_tracks; ++id) {
		re_snprintf(path, sizeof(path), "%s/remote-track-%u.flac", dir, id);
		if (used & (1u << id))
			mended += mend_file(path);
		else if (remove(path) == 0)
			++removed;
	}
	unlink(marker_path);
	close(marker);
	info("zvaudio/record: repaired the unfinished recording %s (%u files finished, %u unused removed)\n",
	     dir, mended, removed);
}

}

void record_repair_folders(const char *base)
{
	DIR *d = opendir(base);
	if (!d)
		return;
	while (struct dirent *e = readdir(d)) {
		if (e->d_name[0] == '.' || (e->d_type != DT_DIR && e->d_type != DT_UNKNOWN))
			continue;
		char dir[256];
		if (std::snprintf(dir, sizeof(dir), "%s/%s", base, e->d_name) >= int(sizeof(dir)))
			continue;
		repair_folder(dir);
	}
	closedir(d);
}
