#include "provision.h"

#include "account.h"
#include "account_line.h"
#include "account_ua.h"
#include "listener.h"
#include "provision_text.h"
#include "service.h"
#include "webapp.h"
#include "file.h"
#include "json.h"
#include "ws.h"
#include "zv_version.h"
#include "zvcacert.h"

namespace {

// First the start delay, then the update notice.
struct tmr account_timer;
char update_version[ACCOUNT_UPDATE_MAX + 1];
struct http_cli *client;
struct http_req *request;

void update_notice(void *)
{
	char text[512];
	if (!provision_update_message(text, sizeof(text), update_version))
		webapp_ws_send_text(WS_BARESIP, text);
}

void accounts_start(void *)
{
	if (struct odict *accounts = webapp_accounts()) {
		for (struct le *le = list_head(&accounts->lst); le; le = le->next) {
			auto *e = static_cast<struct odict_entry *>(le->data);
			if (e->type == ODICT_OBJECT)
				webapp_account_register(e->u.odict);
		}
	}
	(void)webapp_provisioning_start();
}

// Applies the provisioning answer.
void provisioning_handler(int err, const struct http_msg *msg, void *)
{
	if (err || !msg) {
		warning("webapp/account: provisioning failed (%H)\n", ZV_ERRNO(err));
		return;
	}
	if (msg->scode != 200) {
		warning("webapp/account: provisioning failed: %u %r\n", msg->scode, &msg->reason);
		return;
	}

	struct pl object;
	struct odict *answer = nullptr;
	if (!msg->mb || !provision_object(msg->mb->buf, msg->mb->end, &object) ||
	    webapp_json_decode(&answer, object.p, object.l))
		return;

	char user[ACCOUNT_NAME_MAX + 1] = "";
	char domain[ACCOUNT_NAME_MAX + 1] = "";
	str_ncpy(user, odict_string(answer, "user"), sizeof(user));
	str_ncpy(domain, odict_string(answer, "domain"), sizeof(domain));
	info("webapp/account: add user: %s\n", user);

	char quick[ACCOUNT_AOR_SIZE];
	if (!account_address(quick, sizeof(quick), "quick-", user, domain))
		webapp_ua_end(uag_find_aor(quick));

	webapp_account_delete(user, domain);
	webapp_account_delete(nullptr, webapp_service_second_domain);
	webapp_account_delete(nullptr, webapp_service_sip_domain);
	webapp_account_delete(nullptr, webapp_service_sip_domain_443);

	if (odict_lookup(answer, "domain")) {
		webapp_account_register(answer);
		webapp_account_store(answer);
	}

	webapp_ua_current_set(webapp_ua_main());
	webapp_account_current_mark();
	mem_deref(answer);
}

}

void webapp_installation_uuid_trim(void)
{
	provision_trim(conf_config()->sip.uuid);
}

void webapp_accounts_start_arm(void)
{
	tmr_start(&account_timer, 1000, accounts_start, nullptr);
}

int webapp_provisioning_start(void)
{
	info("webapp/account: start provisioning\n");

	char uuid[64];
	if (provision_uuid(uuid, sizeof(uuid), conf_config()->sip.uuid)) {
		warning("webapp/account: the installation UUID is not a UUID: no provisioning\n");
		return EINVAL;
	}
	char url[255];
	int err = provision_url(url, sizeof(url), webapp_provisioning_host(), uuid, ZV_VERSION);
	if (err)
		return err;
	if (!client)
		(void)zvcacert_http_client_alloc(&client, net_dnsc(baresip_network()));
	return http_request(&request, client, "GET", url, provisioning_handler, nullptr, nullptr,
			    nullptr);
}

void webapp_update_schedule(const char *version)
{
	str_ncpy(update_version, version, sizeof(update_version));
	tmr_start(&account_timer, 8000, update_notice, nullptr);
}

void webapp_provisioning_close(void)
{
	tmr_cancel(&account_timer);
	request = static_cast<struct http_req *>(mem_deref(request));
	client = static_cast<struct http_cli *>(mem_deref(client));
}
