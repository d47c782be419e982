// The page's switches (option_table.h): every option's last value in the
// options dictionary (in the order of the last change), pushed to
// "/ws_options" after each change; the persisted ones are kept in
// options.json and replayed at every start. Main thread only.
// webapp_option_request is declared in webapp_engine.h.
#pragma once

#include "sipstack.h"

// Loads options.json (a damaged one is warned about and replaced), writes
// back only its persisted keys and replays them into the engine and the SIP
// stack. 0 or the error of the dictionary.
int webapp_options_init(void);

// Removes the SIP trace, saves the persisted keys and releases the
// dictionary.
void webapp_options_close(void);

// Applies one option: its effect, then store, push, and save when the key
// is persisted. An unknown key is only warned about.
void webapp_option_set(const char *key, const char *value);

// A new dictionary in *outp with the string values of the persisted keys of
// src (NULL: none), in the persisted keys' order. 0 or an error; *outp is
// untouched on error.
int webapp_options_persisted(struct odict **outp, const struct odict *src);

// The options dictionary; NULL outside init and close.
const struct odict *webapp_options(void);

// The stored text of key, or def when there is none.
const char *webapp_option_get(const char *key, const char *def);
