#include "sipstack.h"

#include <cstring>

namespace {

struct load_state {
	const struct zv_static_module *table;
	size_t count;
	bool app;
};

const struct zv_static_module *lookup(const struct load_state &st, const struct pl *val)
{
	struct pl name = *val;
	const char *dot = pl_strchr(val, '.');
	if (dot)
		name.l = static_cast<size_t>(dot - val->p);

	for (size_t i = 0; i < st.count; i++) {
		if (0 == pl_strcasecmp(&name, st.table[i].name))
			return &st.table[i];
	}
	return nullptr;
}

// mod_find wants a file name, and the library's own duplicate check in
// mod_add passes it the bare module name, which never matches: compare the
// records themselves.
bool already_loaded(const struct mod_export *exp)
{
	for (struct le *le = list_head(mod_list()); le; le = le->next) {
		if (mod_export(static_cast<struct mod *>(le->data)) == exp)
			return true;
	}
	return false;
}

int load_handler(const struct pl *val, void *arg)
{
	const auto &st = *static_cast<const struct load_state *>(arg);

	const struct zv_static_module *rec = lookup(st, val);
	if (!rec) {
		warning("module %r: %H\n", val, ZV_ERRNO(ENOENT));
		return 0;
	}
	if (!rec->exp) {
		debug("module %r: built into the core\n", val);
		return 0;
	}
	if (already_loaded(rec->exp))
		return 0;

	if (st.app && 0 != str_casecmp(rec->exp->type, "application"))
		warning("module_app %r should be type application (%s)\n", val, rec->exp->type);

	struct mod *m = nullptr;
	int err = mod_add(&m, rec->exp);
	if (err)
		warning("module %r: %H\n", val, ZV_ERRNO(err));
	return 0;
}

}

int zv_conf_modules(const struct zv_static_module *table, size_t count)
{
	struct conf *conf = conf_cur();
	if (!conf)
		return EINVAL;

	struct load_state st = {table, count, false};
	conf_apply(conf, "module", load_handler, &st);
	st.app = true;
	conf_apply(conf, "module_app", load_handler, &st);
	return 0;
}

void zv_module_app_unload()
{
	struct le *le = list_head(mod_list());
	while (le) {
		struct mod *m = static_cast<struct mod *>(le->data);
		const struct mod_export *me = mod_export(m);
		le = le->next;

		if (me && 0 == str_casecmp(me->type, "application")) {
			debug("module: unloading app %s\n", me->name);
			mem_deref(m);
		}
	}
}
