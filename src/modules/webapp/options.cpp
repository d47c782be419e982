#include "options.h"

#include <cerrno>

#include "option_table.h"
#include "save_report.h"
#include "webapp_engine.h"
#include "file.h"
#include "ws.h"
#include "ws_dispatch.h"
#include "zvaudio.h"

namespace {

struct odict *options_dict;
char options_path[256];

// Prints text with its control characters escaped, so that a text from the
// page cannot start a line of its own in the log.
int print_escaped(struct re_printf *pf, const char *text)
{
	int err = 0;
	for (const char *p = text; *p && !err; ++p) {
		const unsigned char c = static_cast<unsigned char>(*p);
		if (c == '\n')
			err = re_hprintf(pf, "\\n");
		else if (c == '\r')
			err = re_hprintf(pf, "\\r");
		else if (c == '\t')
			err = re_hprintf(pf, "\\t");
		else if (c < 0x20 || c == 0x7f)
			err = re_hprintf(pf, "\\x%02x", c);
		else
			err = re_hprintf(pf, "%c", c);
	}
	return err;
}

void save(void)
{
	struct odict *copy = nullptr;
	if (webapp_options_persisted(&copy, options_dict))
		return;
	int err = webapp_json_write(copy, options_path);
	if (err)
		webapp_save_failed(options_path, err);
	mem_deref(copy);
}

void store(const char *key, const char *value)
{
	odict_entry_del(options_dict, key);
	(void)odict_entry_add(options_dict, key, ODICT_STRING, value);
}

// Hands the stored value of key (or def) to webapp_option_request; the
// request replaces the entry, so the value is copied first. With fresh, the
// entry goes before the request, which then counts as a change.
void replay(const char *key, const char *def, bool fresh = false)
{
	char *value = nullptr;
	if (str_dup(&value, webapp_option_get(key, def)))
		return;
	if (fresh)
		odict_entry_del(options_dict, key);
	webapp_option_request(key, value);
	mem_deref(value);
}

}

void webapp_option_request(const char *key, const char *value)
{
	if (!key || !value)
		return;
	info("webapp/option: %H: %H\n", print_escaped, key, print_escaped, value);
	if (!str_cmp(key, "record-folder")) {
		zvaudio_open_folder();
		return;
	}
	webapp_option_set(key, value);
}

void webapp_option_set(const char *key, const char *value)
{
	const webapp_option *option = webapp_option_find(key);
	if (!option) {
		warning("webapp/option: ignoring unknown key %H\n", print_escaped, key);
		return;
	}

	if (option->effect)
		option->effect(value);
	// Before init and after close there is no dictionary: the effect alone,
	// so that the file is never saved empty.
	if (!options_dict)
		return;
	store(key, value);
	webapp_ws_send_json(WS_OPTIONS, options_dict);
	if (option->persisted)
		save();
}

int webapp_options_persisted(struct odict **outp, const struct odict *src)
{
	struct odict *copy = nullptr;
	int err = odict_alloc(&copy, 32);
	if (err)
		return err;

	for (const webapp_option &option : webapp_option_table) {
		const char *value =
			option.persisted && src ? odict_string(src, option.key) : nullptr;
		if (!value)
			continue;
		err = odict_entry_add(copy, option.key, ODICT_STRING, value);
		if (err) {
			mem_deref(copy);
			return err;
		}
	}
	*outp = copy;
	return 0;
}

const struct odict *webapp_options(void)
{
	return options_dict;
}

const char *webapp_option_get(const char *key, const char *def)
{
	const char *value = options_dict ? odict_string(options_dict, key) : nullptr;
	return value ? value : def;
}

int webapp_options_init(void)
{
	webapp_ws_state_set(WS_OPTIONS, webapp_options);

	int err = webapp_file_path(options_path, sizeof(options_path), "options.json");
	if (err)
		return err;

	struct odict *stored = nullptr;
	err = webapp_json_load(&stored, options_path);
	if (err && err != ENOENT && err != ENOMEM)
		warning("webapp/option: invalid %s\n", options_path);

	err = webapp_options_persisted(&options_dict, stored);
	mem_deref(stored);
	if (err)
		return err;
	save();

	replay("verbose", "", true);
	replay("monorecord", "true");
	replay("monostream", "true");
	replay("monitoring", "");
	return 0;
}

void webapp_options_close(void)
{
	if (!str_cmp(webapp_option_get("verbose", ""), "true"))
		sip_set_trace_handler(uag_sip(), nullptr);
	if (options_dict)
		save();
	options_dict = static_cast<struct odict *>(mem_deref(options_dict));
	webapp_ws_state_set(WS_OPTIONS, nullptr);
}
