#include "account_line.h"

#include <cerrno>
#include <cstring>
#include <string>

namespace {

bool is_alnum(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

bool is_hex(char c)
{
	return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

// A SIP token character.
bool is_token(char c)
{
	return is_alnum(c) || (c && strchr("-.!%*_+`'~", c));
}

// A SIP user: unreserved and user-unreserved characters and %HH escapes,
// which the library keeps unchanged in the address of record.
bool user_valid(const char *s)
{
	if (!*s)
		return false;
	for (; *s; ++s) {
		if (*s == '%') {
			if (!is_hex(s[1]) || !is_hex(s[2]))
				return false;
			s += 2;
		}
		else if (!is_alnum(*s) && !strchr("-_.!~*'()&=+$,;?/", *s)) {
			return false;
		}
	}
	return true;
}

// A port as the library prints it back: 1 to 65535 without leading zeros.
bool port_valid(const char *s)
{
	if (!*s || *s == '0' || strlen(s) > 5)
		return false;
	unsigned long v = 0;
	for (; *s; ++s) {
		if (*s < '0' || *s > '9')
			return false;
		v = v * 10 + static_cast<unsigned long>(*s - '0');
	}
	return v <= 65535;
}

// A host name, IPv4 address or bracketed IPv6 address, then an optional
// ":port".
bool domain_valid(const char *s)
{
	const char *port = nullptr;
	if (*s == '[') {
		const char *end = strchr(s, ']');
		if (!end || end == s + 1)
			return false;
		for (const char *p = s + 1; p < end; ++p) {
			if (!((*p >= '0' && *p <= '9') || (*p >= 'a' && *p <= 'f') || *p == ':'))
				return false;
		}
		if (end[1] && end[1] != ':')
			return false;
		port = end[1] ? end + 2 : nullptr;
	}
	else {
		const char *p = s;
		for (; *p && *p != ':'; ++p) {
			if (!is_alnum(*p) && *p != '-' && *p != '.')
				return false;
		}
		if (p == s)
			return false;
		port = *p ? p + 1 : nullptr;
	}
	return !port || port_valid(port);
}

bool transport_valid(const char *s)
{
	if (!*s)
		return false;
	for (; *s; ++s) {
		if (!is_token(*s))
			return false;
	}
	return true;
}

}

namespace {

// An answer delay makes the library answer a call by itself after the
// delay, behind the page's back, and its timer outlives a call that was
// refused in the meantime: the parameter never reaches the library.
std::string without_answer_delay(const std::string &params)
{
	std::string kept;
	size_t at = 0;
	while (at < params.size()) {
		size_t end = params.find(';', at + 1);
		if (end == std::string::npos)
			end = params.size();
		std::string part = params.substr(at, end - at);
		std::string name = part.substr(part[0] == ';' ? 1 : 0);
		name = name.substr(0, name.find('='));
		if (0 != str_casecmp(name.c_str(), "answerdelay"))
			kept += part;
		at = end;
	}
	// A text that did not begin with a separator keeps not beginning with one.
	if (!params.empty() && params[0] != ';' && !kept.empty() && kept[0] == ';')
		kept.erase(0, 1);
	return kept;
}

}

void account_fields_read(struct account_fields *f, const struct odict *record)
{
	*f = {};
	str_ncpy(f->transport, "udp", sizeof(f->transport));
	if (!record)
		return;

	std::string params;
	for (const struct le *le = record->lst.head; le; le = le->next) {
		const auto *e = static_cast<const struct odict_entry *>(le->data);
		if (e->type != ODICT_STRING)
			continue;
		const char *key = e->key;
		const char *value = e->u.str;
		if (!str_cmp(key, "user"))
			str_ncpy(f->user, value, sizeof(f->user));
		else if (!str_cmp(key, "password"))
			str_ncpy(f->password, value, sizeof(f->password));
		else if (!str_cmp(key, "domain"))
			str_ncpy(f->domain, value, sizeof(f->domain));
		else if (!str_cmp(key, "transport"))
			str_ncpy(f->transport, value, sizeof(f->transport));
		else if (!str_cmp(key, "command") || !str_cmp(key, "status"))
			continue;
		else if (!str_cmp(key, "quick")) {
			str_ncpy(f->quick, without_answer_delay(value).c_str(), sizeof(f->quick));
			f->quick_wanted = true;
		}
		else if (!str_cmp(key, "update"))
			f->update = value;
		else if (params.size() < ACCOUNT_PARAMS_MAX)
			params.append(";").append(key).append("=").append(value);
	}
	str_ncpy(f->params, without_answer_delay(params).c_str(), sizeof(f->params));
}

const char *account_fields_refusal(const struct account_fields *f)
{
	if (!user_valid(f->user))
		return "the user is not a SIP user name";
	if (!domain_valid(f->domain))
		return "the domain is not a host with an optional port";
	if (!transport_valid(f->transport))
		return "the transport is not a SIP token";
	return nullptr;
}

bool account_password_in_line(const char *password)
{
	for (const char *p = password; *p; ++p) {
		if (!is_token(*p))
			return false;
	}
	return true;
}

int account_line(char *buf, size_t size, const struct account_fields *f, bool quick)
{
	const bool in_line = account_password_in_line(f->password);
	int n = re_snprintf(
		buf, size, "<sip:%s%s@%s;transport=%s>;%s%s%s%s%s", quick ? "quick-" : "", f->user,
		f->domain, f->transport, in_line ? "auth_pass=" : "", in_line ? f->password : "",
		in_line ? ";" : "", quick ? f->quick : f->params, quick ? ";rtcp_mux=yes" : "");
	return n < 0 || static_cast<size_t>(n) >= size ? ENOMEM : 0;
}

int account_address(char *buf, size_t size, const char *prefix, const char *user,
		    const char *domain)
{
	char u[ACCOUNT_NAME_MAX + 1];
	char d[ACCOUNT_NAME_MAX + 1];
	str_ncpy(u, user, sizeof(u));
	str_ncpy(d, domain, sizeof(d));
	int n = re_snprintf(buf, size, "sip:%s%s@%s", prefix, u, d);
	return n < 0 || static_cast<size_t>(n) >= size ? ENOMEM : 0;
}

bool account_name_equal(const char *a, const char *b)
{
	char ca[ACCOUNT_NAME_MAX + 1];
	char cb[ACCOUNT_NAME_MAX + 1];
	str_ncpy(ca, a, sizeof(ca));
	str_ncpy(cb, b, sizeof(cb));
	return !str_cmp(ca, cb);
}

void account_member_delete(struct odict *record, const char *key)
{
	struct le *le = list_head(&record->lst);
	while (le) {
		auto *e = static_cast<struct odict_entry *>(le->data);
		le = le->next;
		if (!str_cmp(e->key, key))
			mem_deref(e);
	}
}
