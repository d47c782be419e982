// The program's version and the software string that names it, the SIP
// User-Agent and the platform it runs on.
#pragma once

#define ZV_VERSION "v26.11.0-stable"

#if defined(__x86_64__)
#define ZV_ARCH "x86_64"
#elif defined(__aarch64__)
#define ZV_ARCH "arm64"
#else
#define ZV_ARCH "unknown"
#endif

#define ZV_SOFTWARE "Zorvane " ZV_VERSION " (" ZV_ARCH "/Linux)"
