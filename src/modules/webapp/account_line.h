// The texts made from an account record: the account lines that the SIP
// library makes user agents from, and the addresses of record by which the
// module finds those user agents again.
#pragma once

#include <cstddef>

#include "sipstack.h"

// Characters kept of the record's texts.
constexpr size_t ACCOUNT_NAME_MAX = 49; // user, password, domain
constexpr size_t ACCOUNT_TRANSPORT_MAX = 3;
constexpr size_t ACCOUNT_PARAMS_MAX = 299; // the parameter text, the quick text
constexpr size_t ACCOUNT_UPDATE_MAX = 63;

// Room for every address of record and account line made here.
constexpr size_t ACCOUNT_AOR_SIZE = 256;
constexpr size_t ACCOUNT_LINE_SIZE = 512;

// A record's string members as registration uses them, each cut to its size.
struct account_fields {
	char user[ACCOUNT_NAME_MAX + 1];
	char password[ACCOUNT_NAME_MAX + 1];
	char domain[ACCOUNT_NAME_MAX + 1];
	char transport[ACCOUNT_TRANSPORT_MAX + 1];
	char params[ACCOUNT_PARAMS_MAX + 1]; // ";name=value" of every other member
	char quick[ACCOUNT_PARAMS_MAX + 1];
	bool quick_wanted;
	const char *update; // the whole "update" value, NULL when absent
};

// Reads the record's string members in order ("command" and "status" are
// passed over, non-strings too). Transport "udp" when absent.
void account_fields_read(struct account_fields *f, const struct odict *record);

// NULL when user, domain and transport can make a user agent that is found
// again by its address of record; else the reason, a constant text.
const char *account_fields_refusal(const struct account_fields *f);

// True when the password can stand in the account line as it is; any other
// password is given to the account directly.
bool account_password_in_line(const char *password);

// The account line of the record's user agent, or of its quick user agent.
// 0, or ENOMEM when it does not fit.
int account_line(char *buf, size_t size, const struct account_fields *f, bool quick);

// "sip:<user>@<domain>" from the first 49 characters of each; prefix goes
// before the user ("quick-" for the quick user agent, else ""). 0 or ENOMEM.
int account_address(char *buf, size_t size, const char *prefix, const char *user,
		    const char *domain);

// True when a and b agree in their first 49 characters.
bool account_name_equal(const char *a, const char *b);

// Deletes every member named key of the record.
void account_member_delete(struct odict *record, const char *key);
