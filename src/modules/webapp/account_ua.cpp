// The user agents made from account records, and the three the module
// singles out. The SIP library's user-agent list owns every user agent;
// the pointers here are borrowed and checked against that list before use.
#include "account_ua.h"

#include "account.h"
#include "account_line.h"
#include "provision.h"
#include "service.h"

namespace {

struct ua *current_ua;
struct ua *main_ua;
struct ua *quick_ua;

bool listed(const struct ua *ua)
{
	if (!ua)
		return false;
	for (const struct le *le = list_head(uag_list()); le; le = le->next) {
		if (le->data == ua)
			return true;
	}
	return false;
}

bool service_domain(const char *domain)
{
	return !str_cmp(domain, webapp_service_sip_domain) ||
	       !str_cmp(domain, webapp_service_sip_domain_443) ||
	       !str_cmp(domain, webapp_service_second_domain);
}

// Makes one user agent from an account line and registers it. Calls are
// always answered by the page, whatever answer mode the line names.
int ua_make(struct ua **uap, const char *line, const char *password)
{
	struct ua *ua = nullptr;
	int err = ua_alloc(&ua, line);
	if (err)
		return err;
	struct account *acc = ua_account(ua);
	(void)account_set_answermode(acc, ANSWERMODE_MANUAL);
	if (!account_password_in_line(password))
		(void)account_set_auth_pass(acc, password);
	(void)ua_register(ua);
	*uap = ua;
	return 0;
}

}

void webapp_account_register(struct odict *record)
{
	if (!record)
		return;

	account_fields f;
	account_fields_read(&f, record);
	if (f.update) {
		if (str_cmp(f.update, "false"))
			webapp_update_schedule(f.update);
		f.update = nullptr;
		account_member_delete(record, "update");
	}

	if (const char *why = account_fields_refusal(&f)) {
		warning("webapp/account: account not registered: %s\n", why);
		return;
	}

	char line[ACCOUNT_LINE_SIZE];
	struct ua *ua = nullptr;
	int err = account_line(line, sizeof(line), &f, false);
	if (!err)
		err = ua_make(&ua, line, f.password);
	if (err) {
		warning("webapp/account: ua_alloc failed for %s@%s (%H)\n", f.user, f.domain,
			ZV_ERRNO(err));
		return;
	}
	if (service_domain(f.domain))
		main_ua = ua;

	if (!f.quick_wanted)
		return;
	warning("register quick sip:quick-%s@%s\n", f.user, f.domain);
	struct ua *quick = nullptr;
	if (!account_line(line, sizeof(line), &f, true) && !ua_make(&quick, line, f.password))
		quick_ua = quick;
}

struct ua *webapp_ua_current(void)
{
	if (!listed(current_ua)) {
		struct le *first = list_head(uag_list());
		current_ua = first ? static_cast<struct ua *>(first->data) : nullptr;
	}
	return current_ua;
}

void webapp_ua_current_set(struct ua *ua)
{
	current_ua = ua;
}

struct ua *webapp_ua_main(void)
{
	return listed(main_ua) ? main_ua : nullptr;
}

struct ua *webapp_ua_quick(void)
{
	return listed(quick_ua) ? quick_ua : nullptr;
}

void webapp_ua_end(struct ua *ua)
{
	if (!ua)
		return;

	// Each hang-up takes the call off the list and tells the page; the
	// count bounds the loop should a call outlive its hang-up.
	for (unsigned n = list_count(ua_calls(ua)); n; --n) {
		struct le *le = list_head(ua_calls(ua));
		if (!le)
			break;
		ua_hangup(ua, static_cast<struct call *>(le->data), 0, nullptr);
	}

	if (current_ua == ua)
		current_ua = nullptr;
	if (main_ua == ua)
		main_ua = nullptr;
	if (quick_ua == ua)
		quick_ua = nullptr;
	mem_deref(ua);
}
