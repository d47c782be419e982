// The SIP library as this program uses it. Every difference between the
// library version we build on and the interface our code is written for is
// answered here, so that a move to another version touches this folder only.
#pragma once

#include <cstddef>
#include <cstdint>

#include <re.h>
#include <rem.h>
#include <baresip.h>

// "%m" of this version prints an error's text without its number. Messages
// that carry an errno value print it with "%H" and ZV_ERRNO(err), which
// gives the text, a blank and the number in brackets: "Invalid argument [22]".
int zv_errno_print(struct re_printf *pf, void *arg);
#define ZV_ERRNO(err) zv_errno_print, reinterpret_cast<void *>(static_cast<intptr_t>(err))

// A record of the program's static module table. A record without an
// export names a function that this library version has in its core.
struct zv_static_module {
	const char *name;
	const struct mod_export *exp;
};

// Loads the configuration's "module" lines in file order, then its
// "module_app" lines, from the static table alone: a name is the part before
// its first dot, compared without regard to case; nothing is ever loaded
// from a file. A module that fails is logged as "module %r: %m" with its real
// error and loading goes on. EINVAL when no configuration has been loaded.
int zv_conf_modules(const struct zv_static_module *table, size_t count);

// Unloads the loaded modules of type "application" in load order.
void zv_module_app_unload();

// The worker pool of the event library's asynchronous jobs: this version
// has no such pool, and no code of this version needs one.
int zv_thread_async_init(uint16_t workers);
void zv_thread_async_close();

// conf_path_set of this version keeps the caller's pointer; this one keeps
// a copy of the directory. 0, or ENOMEM when it does not fit.
int zv_conf_path_set(const char *path);

// Completes the core configuration after conf_configure: gives the
// configuration file's keys that this version does not read their meaning
// (the jitter buffer in milliseconds and packets), encodes and sends audio
// where the engine hands it over (no transmit thread per call), and verifies SIP TLS servers unless the
// file says otherwise (this version verifies only with a CA file).
void zv_config_complete(struct config *cfg, const struct conf *conf);

// The dial text completed to a SIP address of the account, in a new string
// (account_uri_complete_strdup of later versions). 0 or an errno value.
int zv_account_uri_complete_strdup(const struct account *acc, char **uri, const char *dial);
