#include "file.h"

#include <cerrno>
#include <string>

#include "settings_file.h"
#include "json.h"

namespace {

// Replaces the file with the text that print makes.
template <typename Print> int replace_file(const char *path, mode_t create_mode, Print print)
{
	char *text = nullptr;
	if (print(&text))
		return ENOMEM;
	int err = zv_settings_write(path, text, str_len(text), create_mode);
	mem_deref(text);
	return err;
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

int webapp_file_write(const char *text, const char *path)
{
	return replace_file(path, 0666,
			    [text](char **out) { return re_sdprintf(out, "%s", text); });
}

int webapp_json_write(const struct odict *dict, const char *path, mode_t create_mode)
{
	return replace_file(path, create_mode, [dict](char **out) {
		if (!dict)
			return str_dup(out, "");
		return re_sdprintf(out, "%H", json_encode_odict, dict);
	});
}

int webapp_json_load(struct odict **op, const char *path)
{
	std::string text;
	int err = zv_settings_read(path, text);
	if (err)
		return err;
	return webapp_json_decode(op, text.data(), text.size());
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
