// Every option the page may set, with what a change does outside the
// options dictionary: the engine's switches, the recorder, the on-air stream
// and the SIP trace.
#pragma once

#include <span>

struct webapp_option {
	const char *key;
	// Kept in options.json and replayed at every start.
	bool persisted;
	// Runs before the value is stored, so webapp_option_get still gives
	// the previous one; NULL for an option without an effect.
	void (*effect)(const char *value);
};

// The options, the persisted ones first in the order that options.json
// keeps them.
extern const std::span<const webapp_option> webapp_option_table;

// The option of key, or NULL for an unknown key.
const webapp_option *webapp_option_find(const char *key);
