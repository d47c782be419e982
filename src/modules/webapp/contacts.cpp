#include "contacts.h"

#include <cerrno>
#include <cstring>

#include "contact_commands.h"
#include "save_report.h"
#include "file.h"
#include "ws.h"
#include "ws_dispatch.h"

namespace {

constexpr size_t name_max = 49;
constexpr size_t sip_max = 99;

struct odict *contacts_dict;
char contacts_path[256];
// Why contacts.json could not be used at the start; 0 when it could.
int load_error;

// The first max bytes of the record's string member key; "" when the member
// is missing or no string.
void member_cut(char *buf, size_t max, const struct odict *record, const char *key)
{
	const char *s = odict_string(record, key);
	size_t n = s ? strnlen(s, max) : 0;
	if (n)
		memcpy(buf, s, n);
	buf[n] = '\0';
}

// True when the address can stand between the angle brackets as it is:
// with none of < > " and no blank or control character, nothing in it can
// close the brackets and add header parameters such as access=block.
bool plain_address(const char *addr)
{
	for (const unsigned char *p = reinterpret_cast<const unsigned char *>(addr); *p; ++p) {
		if (*p <= ' ' || *p == 0x7f || *p == '<' || *p == '>' || *p == '"')
			return false;
	}
	return true;
}

// The display name as the inside of a quoted string.
int print_quoted(struct re_printf *pf, const char *name)
{
	int err = 0;
	for (const char *p = name; *p && !err; ++p) {
		if (*p == '"' || *p == '\\')
			err = re_hprintf(pf, "\\%c", *p);
		else
			err = re_hprintf(pf, "%c", *p);
	}
	return err;
}

void save(void)
{
	if (!contacts_dict)
		return;
	int err = webapp_json_write(contacts_dict, contacts_path);
	if (err)
		webapp_save_failed(contacts_path, err);
}

}

void webapp_contact_register(const struct odict *record)
{
	if (!record)
		return;

	char name[name_max + 1];
	char sip[sip_max + 1];
	member_cut(name, name_max, record, "name");
	member_cut(sip, sip_max, record, "sip");
	if (!plain_address(sip))
		return;

	char addr[512];
	if (re_snprintf(addr, sizeof(addr), "\"%H\"<sip:%s>", print_quoted, name, sip) < 0)
		return;
	struct pl pl;
	pl_set_str(&pl, addr);
	(void)contact_add(baresip_contacts(), nullptr, &pl);
}

// A contact that the dictionary refuses (all 100 numbers taken) is not
// entered either; without a dictionary (an unreadable file) it is entered
// but not stored, and the page hears why.
void webapp_contact_add(const struct odict *record)
{
	if (!contacts_dict) {
		webapp_contact_register(record);
		if (contacts_path[0])
			webapp_save_failed(contacts_path, load_error);
		return;
	}
	if (webapp_record_add(contacts_dict, record))
		return;
	save();
	webapp_contact_register(record);
}

void webapp_contact_delete(const char *sip)
{
	if (!contacts_dict || !sip)
		return;
	for (struct le *le = contacts_dict->lst.head; le; le = le->next) {
		auto *e = static_cast<struct odict_entry *>(le->data);
		if (e->type != ODICT_OBJECT)
			continue;
		const char *s = odict_string(e->u.odict, "sip");
		if (!s)
			continue;
		size_t n = strnlen(s, sip_max);
		if (n == str_len(sip) && !strncmp(s, sip, n)) {
			mem_deref(e);
			save();
			return;
		}
	}
}

const struct odict *webapp_contacts(void)
{
	return contacts_dict;
}

int webapp_contacts_init(void)
{
	webapp_contact_commands_set(true);
	webapp_ws_state_set(WS_CONTACTS, webapp_contacts);

	int err = webapp_file_path(contacts_path, sizeof(contacts_path), "contacts.json");
	if (err)
		return err;

	err = webapp_json_load(&contacts_dict, contacts_path);
	if (err == ENOENT)
		err = odict_alloc(&contacts_dict, 32);
	load_error = err;
	if (err) {
		warning("webapp/contact: %s cannot be used (%H): it is left as it is\n",
			contacts_path, ZV_ERRNO(err));
		return err;
	}

	for (const struct le *le = contacts_dict->lst.head; le; le = le->next) {
		const auto *e = static_cast<const struct odict_entry *>(le->data);
		if (e->type == ODICT_OBJECT)
			webapp_contact_register(e->u.odict);
	}
	return 0;
}

void webapp_contacts_close(void)
{
	webapp_ws_state_set(WS_CONTACTS, nullptr);
	webapp_contact_commands_set(false);
	save();
	contacts_dict = static_cast<struct odict *>(mem_deref(contacts_dict));
}
