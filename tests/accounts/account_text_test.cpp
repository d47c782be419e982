// The texts made from account records and provisioning answers.
#include <gtest/gtest.h>

#include <string>

#include "account_line.h"
#include "provision_text.h"
#include "json.h"

namespace {

struct odict *decode(const std::string &json)
{
	struct odict *o = nullptr;
	EXPECT_EQ(0, webapp_json_decode(&o, json.data(), json.size())) << json;
	return o;
}

std::string line_of(const std::string &json, bool quick = false)
{
	struct odict *o = decode(json);
	account_fields f;
	account_fields_read(&f, o);
	char line[ACCOUNT_LINE_SIZE];
	EXPECT_EQ(0, account_line(line, sizeof(line), &f, quick));
	mem_deref(o);
	return line;
}

const char *refusal_of(const char *user, const char *domain, const char *transport)
{
	struct odict *o = nullptr;
	EXPECT_EQ(0, odict_alloc(&o, 8));
	EXPECT_EQ(0, odict_entry_add(o, "user", ODICT_STRING, user));
	EXPECT_EQ(0, odict_entry_add(o, "domain", ODICT_STRING, domain));
	EXPECT_EQ(0, odict_entry_add(o, "transport", ODICT_STRING, transport));
	account_fields f;
	account_fields_read(&f, o);
	mem_deref(o);
	return account_fields_refusal(&f);
}

TEST(AccountLine, FromRecords)
{
	const struct {
		const char *record;
		bool quick;
		const char *line;
	} cases[] = {
		{R"({"user":"a","domain":"example.com","password":"pw"})", false,
		 "<sip:a@example.com;transport=udp>;auth_pass=pw;"},
		{R"({"command":"addsip","user":"a","domain":"x.test:5061","password":"pw",)"
		 R"("transport":"websocket","status":"true","outbound":"sip:p","regint":"60"})",
		 false, "<sip:a@x.test:5061;transport=web>;auth_pass=pw;;outbound=sip:p;regint=60"},
		{R"({"user":"a","domain":"x.test","transport":"tls","password":"pw","status":true,)"
		 R"("current":true,"n":5,"quick":"regint=0","update":"v2"})",
		 false, "<sip:a@x.test;transport=tls>;auth_pass=pw;"},
		{R"({"user":"a","domain":"x.test","password":"pw","quick":"regint=0;ptime=10","x":"1"})",
		 true, "<sip:quick-a@x.test;transport=udp>;auth_pass=pw;regint=0;ptime=10;rtcp_mux=yes"},
		// A password that is no SIP token stays out of the line.
		{R"({"user":"a","domain":"x.test","password":"a;b c"})", false,
		 "<sip:a@x.test;transport=udp>;"},
		{R"({"user":"a","domain":"x.test","password":"x;outbound=sip:evil"})", true,
		 "<sip:quick-a@x.test;transport=udp>;;rtcp_mux=yes"},
		{R"({"domain":"x.test"})", false, "<sip:@x.test;transport=udp>;auth_pass=;"},
		// The library would answer by itself after an answer delay.
		{R"({"user":"a","domain":"x.test","password":"pw","AnswerDelay":"1","regint":"0"})", false,
		 "<sip:a@x.test;transport=udp>;auth_pass=pw;;regint=0"},
		{R"({"user":"a","domain":"x.test","password":"pw","quick":"answerdelay=5;regint=0"})", true,
		 "<sip:quick-a@x.test;transport=udp>;auth_pass=pw;regint=0;rtcp_mux=yes"},
		{R"({"user":"a","domain":"x.test","password":"pw","x":"1;answerdelay=5"})", false,
		 "<sip:a@x.test;transport=udp>;auth_pass=pw;;x=1"},
	};
	for (const auto &c : cases)
		EXPECT_EQ(c.line, line_of(c.record, c.quick)) << c.record;
}

TEST(AccountLine, TextsAreCutToTheirLimits)
{
	const std::string user(60, 'u');
	const std::string domain(60, 'd');
	const std::string value(400, 'v');
	const std::string line = line_of(R"({"user":")" + user + R"(","domain":")" + domain +
					 R"(","password":"p","transport":"abcdef","k":")" + value +
					 R"("})");
	EXPECT_EQ("<sip:" + user.substr(0, 49) + "@" + domain.substr(0, 49) +
			  ";transport=abc>;auth_pass=p;" + (";k=" + value).substr(0, 299),
		  line);
}

TEST(AccountLine, FieldsOutsideTheirCharacterSetsAreRefused)
{
	const struct {
		const char *user, *domain, *transport;
		bool refused;
	} cases[] = {
		{"alice", "example.com", "udp", false},
		{"+49%20a.b_c!~*'()&=$,;?/", "10.0.0.1:5060", "tcp", false},
		{"a", "[::1]:5070", "tls", false},
		{"a", "x.test:65535", "udp", false},
		{"", "x.test", "udp", true},
		{"a@b", "x.test", "udp", true},
		{"a:b", "x.test", "udp", true},
		{"a>", "x.test", "udp", true},
		{"a b", "x.test", "udp", true},
		{"a%2", "x.test", "udp", true},
		{"a\"", "x.test", "udp", true},
		{"a", "", "udp", true},
		{"a", "x.test>;x=1", "udp", true},
		{"a", "x.test:0", "udp", true},
		{"a", "x.test:05060", "udp", true},
		{"a", "x.test:65536", "udp", true},
		{"a", "x.test:", "udp", true},
		{"a", "x/y", "udp", true},
		{"a", "[::1", "udp", true},
		{"a", "[::G]", "udp", true},
		{"a", "x.test", "", true},
		{"a", "x.test", "u>p", true},
		{"a", "x.test", "u;p", true},
	};
	for (const auto &c : cases) {
		EXPECT_EQ(c.refused, refusal_of(c.user, c.domain, c.transport) != nullptr)
			<< c.user << " " << c.domain << " " << c.transport;
	}
}

TEST(AccountLine, AddressesUseTheFirst49Characters)
{
	char aor[ACCOUNT_AOR_SIZE];
	const std::string user(49, 'u');
	const std::string domain(49, 'd');
	ASSERT_EQ(0, account_address(aor, sizeof(aor), "quick-", (user + "xyz").c_str(),
				     (domain + "xyz").c_str()));
	EXPECT_EQ("sip:quick-" + user + "@" + domain, aor);
	EXPECT_TRUE(account_name_equal((user + "a").c_str(), (user + "b").c_str()));
	EXPECT_FALSE(account_name_equal("ab", "abc"));
}

TEST(Provisioning, InstallationUuid)
{
	const struct {
		const char *file;
		const char *uuid; // nullptr: refused
	} cases[] = {
		{"c27538fb-67d8-2ad1-446c-d737829e3717", "c27538fb-67d8-2ad1-446c-d737829e3717"},
		{"ABCDEF-0123\r\n", "ABCDEF-0123"},
		{"  abc\n", "abc"},
		{"", nullptr},
		{"\n", nullptr},
		{"abc/../x", nullptr},
		{"abc def", nullptr},
		{"abc?x=1", nullptr},
	};
	for (const auto &c : cases) {
		char out[64] = "";
		const int err = provision_uuid(out, sizeof(out), c.file);
		if (c.uuid) {
			EXPECT_EQ(0, err) << c.file;
			EXPECT_STREQ(c.uuid, out);
		}
		else {
			EXPECT_EQ(EINVAL, err) << c.file;
		}
	}
	char out[64];
	EXPECT_EQ(0, provision_uuid(out, sizeof(out), std::string(63, 'a').c_str()));
	char text[] = " \tab-1\r\n";
	provision_trim(text);
	EXPECT_STREQ("ab-1", text);
	EXPECT_EQ(EINVAL, provision_uuid(out, sizeof(out), std::string(64, 'a').c_str()));
}

TEST(Provisioning, RequestAddress)
{
	char url[255];
	ASSERT_EQ(0, provision_url(url, sizeof(url), "127.0.0.1:8443", "ab-12", "v26.11.0-stable"));
	EXPECT_STREQ("https://127.0.0.1:8443/api/v1/provisioning/ab-12"
		     "?version=v26.11.0-stable&type=standalone",
		     url);
}

TEST(Provisioning, AnswerObject)
{
	const struct {
		std::string body;
		const char *object; // nullptr: dropped
	} cases[] = {
		{R"({"user":"a"})", R"({"user":"a"})"},
		{"ok then {\"a\":\"b\"} trailing }", "{\"a\":\"b\"}"},
		{R"({"a":{"b":"c"}})", R"({"a":{"b":"c"})"},
		{"} {", nullptr},
		{"no object", nullptr},
		{"{ open", nullptr},
		{std::string("{\"a\":\"b\0\"}", 10), nullptr},
		{"{" + std::string(8190, ' ') + "}", nullptr}, // 8192 bytes
	};
	for (const auto &c : cases) {
		struct pl object;
		const bool found = provision_object(reinterpret_cast<const uint8_t *>(c.body.data()),
						    c.body.size(), &object);
		EXPECT_EQ(c.object != nullptr, found) << c.body.substr(0, 40);
		if (found && c.object) {
			EXPECT_EQ(c.object, std::string(object.p, object.l));
		}
	}
	const std::string fits = "{" + std::string(8189, ' ') + "}"; // 8191 bytes
	struct pl object;
	EXPECT_TRUE(provision_object(reinterpret_cast<const uint8_t *>(fits.data()), fits.size(),
				     &object));
}

TEST(Provisioning, UpdateMessageIsValidJson)
{
	char text[512];
	ASSERT_EQ(0, provision_update_message(text, sizeof(text), "v27.0.0"));
	EXPECT_STREQ("{\t\t\t\"callback\": \"UPDATE\",\t\t\t\"version\": \"v27.0.0\"\t\t\t}", text);

	ASSERT_EQ(0, provision_update_message(text, sizeof(text), "a\"b\\\n\",\"callback\":\"x"));
	struct odict *o = decode(text);
	EXPECT_STREQ("UPDATE", odict_string(o, "callback"));
	EXPECT_STREQ("a\"b\\\n\",\"callback\":\"x", odict_string(o, "version"));
	mem_deref(o);
}

}
