/* Preloaded into the program by the start-up tests: raises a real signal in
 * the program the first time it opens a file whose name begins with
 * $ZV_SIGNAL_AT, so that the signal arrives at a known point of start-up;
 * the file is then opened as asked. $ZV_SIGNAL is the signal's number.
 * Every variant of the program is meant; other programs that it is loaded
 * into (the wrappers that start the program, the programs it starts) are
 * left alone. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

static char prefix[256];
static int signal_number;

__attribute__((constructor)) static void shim_start(void)
{
	const char *at = getenv("ZV_SIGNAL_AT");
	const char *sig = getenv("ZV_SIGNAL");
	if (!at || !sig || strncmp(program_invocation_short_name, "zorvane-standalone", 18))
		return;
	snprintf(prefix, sizeof(prefix), "%s", at);
	signal_number = atoi(sig);
}

static void signal_at(const char *path)
{
	if (!signal_number || !path)
		return;
	const char *slash = strrchr(path, '/');
	const char *name = slash ? slash + 1 : path;
	if (strncmp(name, prefix, strlen(prefix)))
		return;
	const int sig = signal_number;
	signal_number = 0;
	raise(sig);
}

typedef int open_fn(int dirfd, const char *path, int flags, mode_t mode);

static int forward(int dirfd, const char *path, int flags, mode_t mode)
{
	static open_fn *real_openat;
	if (!real_openat)
		real_openat = (open_fn *)dlsym(RTLD_NEXT, "openat");
	signal_at(path);
	return real_openat(dirfd, path, flags, mode);
}

#define MODE_ARG(flags, last)                                            \
	mode_t mode = 0;                                                 \
	if ((flags) & (O_CREAT | O_TMPFILE)) {                           \
		va_list ap;                                              \
		va_start(ap, last);                                      \
		mode = (mode_t)va_arg(ap, int);                          \
		va_end(ap);                                              \
	}

int open(const char *path, int flags, ...)
{
	MODE_ARG(flags, flags);
	return forward(AT_FDCWD, path, flags, mode);
}

int open64(const char *path, int flags, ...)
{
	MODE_ARG(flags, flags);
	return forward(AT_FDCWD, path, flags, mode);
}

int openat(int dirfd, const char *path, int flags, ...)
{
	MODE_ARG(flags, flags);
	return forward(dirfd, path, flags, mode);
}

FILE *fopen(const char *path, const char *how)
{
	static FILE *(*real_fopen)(const char *, const char *);
	if (!real_fopen)
		real_fopen = (FILE * (*)(const char *, const char *)) dlsym(RTLD_NEXT, "fopen");
	signal_at(path);
	return real_fopen(path, how);
}

FILE *fopen64(const char *path, const char *how)
{
	return fopen(path, how);
}
