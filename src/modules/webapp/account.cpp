// accounts.json and the accounts dictionary: loading, storing, deleting and
// the marks the page sees.
#include "account.h"

#include <cerrno>
#include <cstring>

#include "account_line.h"
#include "account_ua.h"
#include "account_ws.h"
#include "provision.h"
#include "save_report.h"
#include "file.h"

namespace {

struct odict *accounts;
char path[256];
// Why accounts.json could not be used at the start; 0 when it could.
int load_error;

// The file holds passwords: only its owner may read it.
void save(void)
{
	if (!accounts || !path[0])
		return;
	int err = webapp_json_write(accounts, path, 0600);
	if (err)
		webapp_save_failed(path, err);
}

// The record's "user" and "domain" texts, NULL unless both are strings.
bool names(const struct odict_entry *e, const char **user, const char **domain)
{
	if (e->type != ODICT_OBJECT)
		return false;
	*user = odict_string(e->u.odict, "user");
	*domain = odict_string(e->u.odict, "domain");
	return *user && *domain;
}

// Deletion compares more of the domain than registration uses.
constexpr size_t delete_domain_max = 69;

bool domain_equal(const char *a, const char *b)
{
	return strnlen(a, delete_domain_max) == strnlen(b, delete_domain_max) &&
	       !strncmp(a, b, delete_domain_max);
}

// The first record on domain (its first 69 characters), of user (its first
// 49) unless user is NULL.
struct odict_entry *find(const char *user, const char *domain)
{
	for (struct le *le = list_head(&accounts->lst); le; le = le->next) {
		auto *e = static_cast<struct odict_entry *>(le->data);
		const char *u;
		const char *d;
		if (!names(e, &u, &d))
			continue;
		if (domain_equal(d, domain) && (!user || account_name_equal(u, user)))
			return e;
	}
	return nullptr;
}

// For every record with string "user" and "domain": h(record, address).
template <typename H> void each_record(H h)
{
	if (!accounts)
		return;
	for (struct le *le = list_head(&accounts->lst); le; le = le->next) {
		auto *e = static_cast<struct odict_entry *>(le->data);
		const char *user;
		const char *domain;
		char aor[ACCOUNT_AOR_SIZE];
		if (names(e, &user, &domain) &&
		    !account_address(aor, sizeof(aor), "", user, domain))
			h(e->u.odict, aor);
	}
}

}

int webapp_accounts_init(void)
{
	webapp_account_commands_set(true);
	webapp_installation_uuid_trim();

	int err = webapp_file_path(path, sizeof(path), "accounts.json");
	if (err) {
		path[0] = '\0';
		return err;
	}
	info("webapp/account: init\n");

	err = webapp_json_load(&accounts, path);
	if (err == ENOENT)
		err = odict_alloc(&accounts, 32);
	load_error = err;
	if (err) {
		warning("webapp/account: %s cannot be used (%H): it is left as it is\n", path,
			ZV_ERRNO(err));
		return err;
	}
	webapp_accounts_start_arm();
	return 0;
}

void webapp_accounts_close(void)
{
	webapp_account_commands_set(false);
	webapp_provisioning_close();
	save();
	accounts = static_cast<struct odict *>(mem_deref(accounts));
	path[0] = '\0';
	webapp_ua_current_set(nullptr);
}

struct odict *webapp_accounts(void)
{
	return accounts;
}

void webapp_account_store(const struct odict *record)
{
	if (!record)
		return;
	if (!accounts) {
		if (path[0])
			webapp_save_failed(path, load_error);
		return;
	}
	if (!webapp_record_add(accounts, record))
		save();
}

void webapp_account_add(const struct odict *record)
{
	if (!record)
		return;
	// Registration takes "update" out of the record: it works on the copy
	// that is stored, made of the message's string members.
	struct odict *copy = nullptr;
	if (odict_alloc(&copy, 32))
		return;
	int err = 0;
	for (const struct le *le = list_head(&record->lst); le && !err; le = le->next) {
		const auto *e = static_cast<const struct odict_entry *>(le->data);
		if (e->type == ODICT_STRING && str_cmp(e->key, "command"))
			err = odict_entry_add(copy, e->key, ODICT_STRING, e->u.str);
	}
	if (!err) {
		webapp_account_register(copy);
		webapp_account_store(copy);
	}
	mem_deref(copy);
}

void webapp_account_delete(const char *user, const char *domain)
{
	if (!accounts || !domain)
		return;
	while (struct odict_entry *e = find(user, domain)) {
		char aor[ACCOUNT_AOR_SIZE];
		const int err =
			account_address(aor, sizeof(aor), "", odict_string(e->u.odict, "user"),
					odict_string(e->u.odict, "domain"));
		mem_deref(e);
		if (!err)
			webapp_ua_end(uag_find_aor(aor));
		save();
		info("webapp/account: delete user %s\n", aor);
		if (user)
			break;
	}
}

void webapp_account_status_set(const char *aor, bool status)
{
	if (!aor)
		return;
	each_record([aor, status](struct odict *record, const char *address) {
		if (str_cmp(address, aor))
			return;
		account_member_delete(record, "status");
		(void)odict_entry_add(record, "status", ODICT_BOOL, status);
	});
}

void webapp_account_current_mark(void)
{
	struct ua *ua = webapp_ua_current();
	const char *current = ua ? account_aor(ua_account(ua)) : nullptr;
	if (!current)
		return;
	each_record([current](struct odict *record, const char *address) {
		account_member_delete(record, "current");
		if (!str_cmp(address, current))
			(void)odict_entry_add(record, "current", ODICT_BOOL, true);
	});
}
